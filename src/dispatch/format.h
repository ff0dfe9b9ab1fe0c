// Container formats, detection, and dispatch of the four manifest operations.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/layout.h"

namespace tarnwick {

class Format {
 public:
  enum Kind : std::uint8_t { GGUF, SafeTensors, ONNX };

  constexpr Format(Kind kind) : kind_(kind) {}
  constexpr Kind kind() const { return kind_; }
  friend constexpr bool operator==(Format, Format) = default;

  // "GGUF", "SafeTensors" or "ONNX".
  std::string_view display_name() const;
  // The C2PA asset type string of the format.
  std::string_view model_type() const;
  // True when the container keeps the store as Base64 text (ONNX and
  // SafeTensors metadata hold only text), false when as raw bytes (GGUF).
  bool store_is_base64() const;

  // Recognises the container from the content alone: GGUF magic, then the
  // SafeTensors header test, then a top-level protobuf scan. Never fails.
  static std::optional<Format> detect(ByteView data);

 private:
  Kind kind_;
};

template <class T>
class Result;
class ManifestSource;
struct Unit;


// What `tarnwick info` shows about a model.
struct ModelInfo {
  Format format;
  std::optional<std::uint64_t> store_size;  // decoded bytes
  std::optional<StoreRange> store_range;
  std::optional<std::string> uri;
};

// Each detects the format afresh and hands the input to that container's
// handler; an unrecognised input gives UnrecognizedFormat.
[[nodiscard]] Result<Bytes> read_manifest(ByteView data);
// The store's range with the errors of read_manifest, except that a model
// without a store gives nullopt rather than NoManifest.
[[nodiscard]] Result<std::optional<StoreRange>> locate_manifest(ByteView data);
// Format, store and URI in one call; reads the metadata only, never the
// tensor data. Store and URI errors are returned as the readers give them.
[[nodiscard]] Result<ModelInfo> inspect(ByteView data);
[[nodiscard]] Result<std::optional<std::string>> read_manifest_uri(ByteView data);

// Whether the format's own loader would load the whole model `data` (of
// which the metadata is read): the tensor layout that SafeTensors' library
// (safetensors::check_layout) and llama.cpp (gguf::check_tensors) demand.
// ONNX passes. Signing and verifying refuse a model that fails it; the
// operations above do not ask.
[[nodiscard]] Result<Unit> check_loadable(ByteView data);

// A rewrite written to a file may keep the tensor data at an offset
// congruent to its old one modulo the file system's block (`block`), so that
// a copy-on-write file system shares the data's blocks instead of copying
// them. Only the padding differs: SafeTensors pads its header with spaces,
// GGUF adds a "c2pa:padding" entry; ONNX keeps its tensor bytes in place
// anyway. `block` 0, or anything but a power of two from kMinBlock to
// kMaxBlock, gives the output of a rewrite in memory; so does a model
// with less tensor data than kMinSharedTensorData, or one whose layout
// cannot reach the congruence (core/layout.h).
[[nodiscard]] Result<Pieces> embed_manifest(ByteView data, const ManifestSource& source,
                                            std::uint64_t block = 0);
[[nodiscard]] Result<Pieces> remove_manifest(ByteView data, std::uint64_t block = 0);

// Where a signed store goes: `store` (raw bytes) in the format's stored form,
// over the store `data` holds, which must have been reserved at exactly its
// size (StoreSizeDiffers, comparing raw sizes); NoManifest when there is none.
struct StoreWrite {
  std::uint64_t offset;
  Bytes stored;
};
[[nodiscard]] Result<StoreWrite> signed_store_write(ByteView data, ByteView store);

// Whether the model keeps tensor data in other files (ONNX external data;
// never for the other formats), whose places are relative to its folder.
// `load` as for load_metadata below: the walk reads field heads and
// external_data entries only. A model the walk cannot read through is an
// error, never "no external data" (onnx::external_locations).
[[nodiscard]] Result<bool> has_external_data(ByteView data, const std::function<bool(std::uint64_t, std::uint64_t)>& load);
// The places of an ONNX model's external data (onnx::external_locations);
// another input is refused.
[[nodiscard]] Result<std::vector<std::string>> external_data_locations(
    ByteView data, const std::function<bool(std::uint64_t, std::uint64_t)>& load);

// A model file is not read whole: only the bytes that detection and the
// operations above read, its metadata, are brought into memory, and the
// tensor data stays in the file. `image` spans the whole file; `load(offset,
// length)` makes that range of it readable (false: the file could not be
// read, and loading stops). What is loaded is decided from what was loaded
// before, as each format's parser walks it; a malformed model stops the walk
// where the operations will stop too, so they never read past what is
// loaded. False only when `load` failed.
using LoadRange = std::function<bool(std::uint64_t offset, std::uint64_t length)>;
[[nodiscard]] bool load_metadata(ByteView image, const LoadRange& load);

}  // namespace tarnwick
