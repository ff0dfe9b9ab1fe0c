// What an embed places into a model: a store, a URI, or both.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "core/bytes.h"

namespace tarnwick {

// Presence, not length, counts: an empty store or URI is embedded.
class ManifestSource {
 public:
  ManifestSource(std::optional<Bytes> store, std::optional<std::string> uri)
      : store_(std::move(store)), uri_(std::move(uri)) {}

  const std::optional<Bytes>& store() const { return store_; }
  const std::optional<std::string>& uri() const { return uri_; }
  bool empty() const { return !store_ && !uri_; }

 private:
  std::optional<Bytes> store_;
  std::optional<std::string> uri_;
};

// Metadata keys under which every container keeps the C2PA data.
inline constexpr std::string_view kStoreKey = "c2pa:manifest";
inline constexpr std::string_view kUriKey = "c2pa:manifest.uri";

}  // namespace tarnwick
