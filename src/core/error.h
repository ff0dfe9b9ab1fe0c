// The single error type, and the result type that carries it.
#pragma once

#include <string>
#include <utility>
#include <variant>

#include <string_view>

namespace tarnwick {

class Error {
 public:
  enum class Kind {
    UnrecognizedFormat,
    Malformed,
    NoManifest,
    EmptySource,
    MalformedReference,
    DuplicateManifest,
    MalformedExclusion,
    DuplicateUri,
    Digest,
    StoreSizeDiffers,
    TooLarge,
  };

  static Error unrecognized_format() { return Error(Kind::UnrecognizedFormat); }
  static Error malformed(std::string text) { return Error(Kind::Malformed, std::move(text)); }
  static Error no_manifest() { return Error(Kind::NoManifest); }
  static Error empty_source() { return Error(Kind::EmptySource); }
  static Error malformed_reference(std::string text) {
    return Error(Kind::MalformedReference, std::move(text));
  }
  // `format`: the container's display name.
  static Error duplicate_manifest(std::string_view format) {
    return Error(Kind::DuplicateManifest, std::string(format));
  }
  static Error malformed_exclusion(std::string text) {
    return Error(Kind::MalformedExclusion, std::move(text));
  }
  static Error duplicate_uri(std::string_view format) { return Error(Kind::DuplicateUri, std::string(format)); }
  // An unsupported algorithm name or a failure inside libcrypto; the text is
  // the whole message.
  static Error digest(std::string text) { return Error(Kind::Digest, std::move(text)); }
  // A result the format or its readers cannot hold; the text is the whole
  // message.
  static Error too_large(std::string text) { return Error(Kind::TooLarge, std::move(text)); }
  // A signed store must fill the room reserved for it exactly (raw sizes).
  static Error store_size_differs(std::uint64_t now, std::uint64_t reserved) {
    return Error(Kind::StoreSizeDiffers, std::to_string(now) + " != " + std::to_string(reserved));
  }

  Kind kind() const { return kind_; }
  // The text a Python caller sees as the ValueError message.
  std::string message() const;

 private:
  explicit Error(Kind kind, std::string text = {}) : kind_(kind), text_(std::move(text)) {}

  Kind kind_;
  std::string text_;
};

// A value or an Error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  T& operator*() & { return value(); }

  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

struct Unit {};
using Status = Result<Unit>;
inline Status ok() { return Unit{}; }

}  // namespace tarnwick

// Evaluates a Result-returning expression; on error returns the error from
// the enclosing function, otherwise moves the value into `lhs`.
#define TW_CONCAT_(a, b) a##b
#define TW_CONCAT(a, b) TW_CONCAT_(a, b)
#define TW_TRY(lhs, expr) TW_TRY_IMPL(TW_CONCAT(tw_result_, __LINE__), lhs, expr)
#define TW_TRY_IMPL(tmp, lhs, expr)                \
  auto tmp = (expr);                               \
  if (!tmp.ok()) return std::move(tmp).error();    \
  lhs = std::move(tmp).value()
// As TW_TRY for a Status, with no value to keep.
#define TW_CHECK(expr) TW_CHECK_IMPL(TW_CONCAT(tw_status_, __LINE__), expr)
#define TW_CHECK_IMPL(tmp, expr)                   \
  auto tmp = (expr);                               \
  if (!tmp.ok()) return std::move(tmp).error()
