// What an embed places into a model: a store, a URI, or both.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "core/bytes.h"

namespace tarnwick {

// Presence, not length, counts: an empty store or URI is embedded. A store
// is given as bytes, or reserved: that many zero bytes, to be signed and
// patched over later, never held in memory.
class ManifestSource {
 public:
  ManifestSource(std::optional<Bytes> store, std::optional<std::string> uri)
      : store_(std::move(store)), uri_(std::move(uri)) {}
  static ManifestSource reserving(std::uint64_t size, std::optional<std::string> uri) {
    ManifestSource s(std::nullopt, std::move(uri));
    s.reserved_ = size;
    return s;
  }

  // The store's bytes; nullopt for a reserved store, or none.
  const std::optional<Bytes>& store() const { return store_; }
  // The size of a reserved store of zeros, or nullopt.
  const std::optional<std::uint64_t>& reserved() const { return reserved_; }
  bool has_store() const { return store_ || reserved_; }
  std::uint64_t store_size() const { return store_ ? store_->size() : reserved_.value_or(0); }
  const std::optional<std::string>& uri() const { return uri_; }
  bool empty() const { return !has_store() && !uri_; }

 private:
  std::optional<Bytes> store_;
  std::optional<std::uint64_t> reserved_;
  std::optional<std::string> uri_;
};

// Metadata keys under which every container keeps the C2PA data.
inline constexpr std::string_view kStoreKey = "c2pa:manifest";
inline constexpr std::string_view kUriKey = "c2pa:manifest.uri";

}  // namespace tarnwick
