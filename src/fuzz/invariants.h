// Invariants shared by the container fuzz targets: whatever the input, every
// operation returns a value or an error, and whenever a rewrite succeeds its
// result reads back exactly what was written.
#pragma once

#include <sanitizer/asan_interface.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "core/base64.h"
#include "core/error.h"
#include "dispatch/format.h"
#include "core/manifest.h"

namespace tarnwick::fuzz {

[[noreturn]] inline void fail(const char* what, int line) {
  std::fprintf(stderr, "invariant broken at line %d: %s\n", line, what);
  std::abort();
}
#define TW_ASSERT(cond) ((cond) ? (void)0 : ::tarnwick::fuzz::fail(#cond, __LINE__))

inline bool is_kind(const Error& e, Error::Kind kind) { return e.kind() == kind; }

// Detection looks at content alone, and the SafeTensors test comes before
// the ONNX one. A crafted ONNX message whose first eight bytes read as a
// header length just beyond its end turns into a SafeTensors file when a
// rewrite lengthens it (or moves other bytes to the front). Real models never
// do: their first field is ir_version, so those bytes read as a length far
// beyond any file. Such outputs are accepted here and not checked further.
inline bool same_format(ByteView out, std::optional<Format> format) {
  const std::optional<Format> now = Format::detect(out);
  if (now == format) return true;
  TW_ASSERT(format == Format::ONNX && now == Format::SafeTensors);
  return false;
}

// remove() of a successful rewrite finds nothing, and is idempotent.
inline void check_removed(const Bytes& removed, std::optional<Format> format) {
  ByteView view(removed);
  if (!same_format(view, format)) return;
  auto store = read_manifest(view);
  TW_ASSERT(!store.ok() && is_kind(store.error(), Error::Kind::NoManifest));
  auto uri = read_manifest_uri(view);
  TW_ASSERT(uri.ok() && !uri.value().has_value());
  auto again = remove_manifest(view);
  TW_ASSERT(again.ok());
  TW_ASSERT(again->to_bytes() == removed);
}

// The store's range holds exactly what the embed wrote (the raw store, or its
// Base64 text), and inspect() agrees with the readers.
inline void check_located(ByteView out, Format format, const ManifestSource& source) {
  auto range = locate_manifest(out);
  auto info = inspect(out);
  TW_ASSERT(range.ok() && info.ok());
  TW_ASSERT(info->format == format);
  TW_ASSERT(info->uri == source.uri());
  if (!source.store()) {
    TW_ASSERT(!range.value() && !info->store_range && !info->store_size);
    return;
  }
  const Bytes& store = *source.store();
  TW_ASSERT(range.value() && info->store_range);
  TW_ASSERT(range.value()->offset == info->store_range->offset);
  TW_ASSERT(range.value()->length == info->store_range->length);
  TW_ASSERT(info->store_size == store.size());
  TW_ASSERT(fits(range.value()->offset, range.value()->length, out.size()));
  const std::string_view stored = text_of(out.subspan(range.value()->offset, range.value()->length));
  if (format.store_is_base64()) {
    TW_ASSERT(stored == base64::encode(store));
  } else {
    TW_ASSERT(stored == text_of(ByteView(store)));
  }
}

inline void check_embed(ByteView input, std::optional<Format> format, const ManifestSource& source) {
  auto embedded = embed_manifest(input, source);
  if (!format) {
    TW_ASSERT(!embedded.ok() && is_kind(embedded.error(), Error::Kind::UnrecognizedFormat));
    return;
  }
  if (!embedded.ok()) return;
  const Bytes out = embedded->to_bytes();
  TW_ASSERT(out.size() == embedded->size());
  ByteView view(out);
  if (!same_format(view, format)) return;
  check_located(view, *format, source);
  auto store = read_manifest(view);
  if (source.store()) {
    TW_ASSERT(store.ok());
    TW_ASSERT(store.value() == *source.store());
  } else {
    TW_ASSERT(!store.ok() && is_kind(store.error(), Error::Kind::NoManifest));
  }
  auto uri = read_manifest_uri(view);
  TW_ASSERT(uri.ok());
  TW_ASSERT(uri.value() == source.uri());
  auto removed = remove_manifest(view);
  TW_ASSERT(removed.ok());
  check_removed(removed->to_bytes(), format);
}

// A file's metadata loaded as a model file's is: every byte not loaded is
// poisoned, so that an operation that reads one is reported by ASan. On
// what was loaded, detection and every operation give what they give on the
// whole input (the rewrites compared by size and store range: their views
// of the tensor data are never read).
inline void check_loaded(ByteView input) {
  std::vector<std::uint8_t> image(input.begin(), input.end());
  ByteView view(image.data(), image.size());
  ASAN_POISON_MEMORY_REGION(image.data(), image.size());
  const bool loaded = load_metadata(view, [&](std::uint64_t offset, std::uint64_t length) {
    TW_ASSERT(fits(offset, length, image.size()));
    ASAN_UNPOISON_MEMORY_REGION(image.data() + offset, length);
    return true;
  });
  TW_ASSERT(loaded);
  TW_ASSERT(Format::detect(view) == Format::detect(input));
  auto same = [](const auto& a, const auto& b) {
    TW_ASSERT(a.ok() == b.ok());
    if (!a.ok()) TW_ASSERT(a.error().message() == b.error().message());
    return a.ok();
  };
  if (auto a = read_manifest(view), b = read_manifest(input); same(a, b)) TW_ASSERT(a.value() == b.value());
  if (auto a = read_manifest_uri(view), b = read_manifest_uri(input); same(a, b)) TW_ASSERT(a.value() == b.value());
  if (auto a = inspect(view), b = inspect(input); same(a, b)) TW_ASSERT(a->store_range == b->store_range);
  auto same_pieces = [&](const Result<Pieces>& a, const Result<Pieces>& b) {
    if (same(a, b)) TW_ASSERT(a.value().size() == b.value().size() && a.value().store_range() == b.value().store_range());
  };
  const ManifestSource source(Bytes{1, 2, 3}, std::string("https://example.com/m"));
  same_pieces(embed_manifest(view, source), embed_manifest(input, source));
  same_pieces(remove_manifest(view), remove_manifest(input));
  ASAN_UNPOISON_MEMORY_REGION(image.data(), image.size());
}

// Runs detection and the four operations on `input`; returns the result of
// remove() when it succeeded.
inline std::optional<Bytes> check_container(ByteView input) {
  check_loaded(input);
  const std::optional<Format> format = Format::detect(input);
  // Reads may fail, but never for an unrecognised format other than as such.
  auto store = read_manifest(input);
  auto uri = read_manifest_uri(input);
  // locate_manifest and inspect fail exactly where the readers do, and
  // otherwise agree with them.
  auto range = locate_manifest(input);
  auto info = inspect(input);
  if (store.ok() || is_kind(store.error(), Error::Kind::NoManifest)) {
    TW_ASSERT(range.ok() && range.value().has_value() == store.ok());
    if (store.ok() && uri.ok()) TW_ASSERT(info.ok() && info->store_size == store.value().size());
  } else {
    TW_ASSERT(!range.ok() && range.error().message() == store.error().message());
    TW_ASSERT(!info.ok() && info.error().message() == store.error().message());
  }
  if (!uri.ok() && range.ok()) TW_ASSERT(!info.ok() && info.error().message() == uri.error().message());
  if (uri.ok() && range.ok()) TW_ASSERT(info.ok() && info->uri == uri.value());
  if (!format) {
    TW_ASSERT(!store.ok() && is_kind(store.error(), Error::Kind::UnrecognizedFormat));
    TW_ASSERT(!uri.ok() && is_kind(uri.error(), Error::Kind::UnrecognizedFormat));
  }
  // Every message renders.
  if (!store.ok()) TW_ASSERT(!store.error().message().empty());
  if (!uri.ok()) TW_ASSERT(!uri.error().message().empty());

  const Bytes some_store = {0x00, 0xFF, 'c', '2', 'p', 'a', '"', '\\'};
  check_embed(input, format, ManifestSource(some_store, std::nullopt));
  check_embed(input, format, ManifestSource(std::nullopt, std::string("https://example.com/m?\"x\"\xc3\xa9")));
  check_embed(input, format, ManifestSource(Bytes{}, std::string()));
  // Stores of every length modulo 3 (the Base64 padding) and a long one.
  for (std::size_t n : {1, 2, 3, 200}) {
    Bytes sized(n);
    for (std::size_t i = 0; i < n; ++i) sized[i] = static_cast<std::uint8_t>(i * 37 + n);
    check_embed(input, format, ManifestSource(std::move(sized), std::nullopt));
  }

  auto empty = embed_manifest(input, ManifestSource(std::nullopt, std::nullopt));
  TW_ASSERT(!empty.ok());
  TW_ASSERT(is_kind(empty.error(), format ? Error::Kind::EmptySource : Error::Kind::UnrecognizedFormat));

  auto removed = remove_manifest(input);
  if (!format) {
    TW_ASSERT(!removed.ok());
    return std::nullopt;
  }
  if (!removed.ok()) return std::nullopt;
  Bytes out = removed->to_bytes();
  check_removed(out, format);
  return out;
}

}  // namespace tarnwick::fuzz
