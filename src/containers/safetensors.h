// SafeTensors container: header framing and the C2PA members of
// "__metadata__".
//
// A file is an 8-byte little-endian length N, N bytes of JSON header (an
// object), then the tensor data, which is never read, only carried along.
// The header is never held as a tree: every operation is one pass of the
// JSON parser over it, and rewrites stream the edited header into the new
// file, so a header costs little more memory than its own size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/manifest.h"

namespace tarnwick::safetensors {

// The header's byte range in the file: always [8, 8 + N).
struct HeaderBounds {
  std::uint64_t start;
  std::uint64_t end;
};
[[nodiscard]] Result<HeaderBounds> header_bounds(ByteView data);

// The format test used by detection: the header's first byte after
// whitespace (form feed included) is "{". Never fails.
[[nodiscard]] bool is_safetensors(ByteView data);
// The whitespace that test passes over, and the longest header read.
[[nodiscard]] bool is_header_space(std::uint8_t c);
inline constexpr std::uint64_t kMaxHeaderSize = 100'000'000;

// A new file: `head` holds 8 bytes of room for the length, then the header
// text, which is padded here with spaces so that the tensor data starts at a
// multiple of 8, as the format's own writer does; given a block (see
// embed_manifest), at an offset congruent to `old_offset` modulo it where
// that can be. `rest` goes in as a view.
[[nodiscard]] Pieces assemble(Bytes head, ByteView rest, std::uint64_t block = 0,
                              std::uint64_t old_offset = 0);

// The raw text between the quotation marks of the store's JSON string,
// checked to decode as Base64, or nullopt when there is none.
[[nodiscard]] Result<std::optional<StoreRange>> locate_store(ByteView data);
[[nodiscard]] Result<std::optional<std::string>> read_uri(ByteView data);
[[nodiscard]] Result<Pieces> embed(ByteView data, const ManifestSource& source, std::uint64_t block);
[[nodiscard]] Result<Pieces> remove(ByteView data, std::uint64_t block);

// The rules the format's own loader (the safetensors library) applies to a
// whole file of `data.size()` bytes, of which only the header is read:
// every tensor an object with a known dtype, a shape and data_offsets of
// non-negative integers; the tensors' data, sorted by offsets, tiling the
// data region from 0 with neither gap nor overlap, each exactly its dtype's
// size times its shape's product; the data ending exactly at the end of the
// file; and "__metadata__", given once, an object of strings (or null). A
// tensor named twice is refused too: readers differ on which one counts.
[[nodiscard]] Status check_layout(ByteView data);

// The shard files a sharded model's index (NAME.safetensors.index.json)
// names: the values of its "weight_map" object, each once, sorted. The
// index is read strictly: a JSON object of UTF-8 text holding one non-empty
// weight_map of strings, in which a tensor named twice names one shard.
inline constexpr std::uint64_t kMaxIndexSize = 64 << 20;
// An index of `size` bytes is refused past kMaxIndexSize, by its size alone.
[[nodiscard]] Status check_index_size(std::uint64_t size);
[[nodiscard]] Result<std::vector<std::string>> index_shards(ByteView index);

}  // namespace tarnwick::safetensors
