// GGUF container (versions 2 and 3): file model and the C2PA entries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/bytes.h"
#include "core/error.h"
#include "core/manifest.h"

namespace tarnwick::gguf {

// The raw bytes of the store's UINT8 array, or nullopt when there is none.
[[nodiscard]] Result<std::optional<StoreRange>> locate_store(ByteView data);
[[nodiscard]] Result<std::optional<std::string>> read_uri(ByteView data);
// The rewritten file as pieces; views borrow `data`.
// With a block (see embed_manifest), a "c2pa:padding" entry may follow the
// new entries.
[[nodiscard]] Result<Pieces> embed(ByteView data, const ManifestSource& source, std::uint64_t block);
[[nodiscard]] Result<Pieces> remove(ByteView data);

// The tensor data of a well-formed file: the input from the aligned end of
// the tensor-info records on. Rewrites carry it through unchanged.
[[nodiscard]] Result<ByteView> tensor_data(ByteView data);

// The rules llama.cpp's loader applies to a whole file of `data.size()`
// bytes, of which only the metadata is read: metadata keys non-empty and
// each given once (the C2PA entries aside: a rewrite drops them, and the
// readers refuse a second one of their own); general.alignment, if given, a
// UINT32 power of two; each tensor-info record with a name shorter than 64
// bytes given once, at most 4 dimensions, none negative, a known type whose
// block divides the rows, and a data offset that is exactly where the
// tensor before it ends, rounded up to the alignment (0 for the first); and
// each tensor's data (its size from type and dimensions) inside the file.
[[nodiscard]] Status check_tensors(ByteView data);

// How many leading bytes hold the metadata (header, entries, tensor-info
// records), read from a prefix of a file: nullopt when the prefix ends
// inside them. Errors other than that end are the parser's own.
[[nodiscard]] Result<std::optional<std::uint64_t>> metadata_size(ByteView prefix);

// split.no and split.count: which file of a split model this is, counting
// from 0, and how many files it has.
struct SplitKeys {
  std::uint64_t no;
  std::uint64_t count;
};
// The split keys of a whole file, read as llama.cpp reads them: every entry
// and tensor-info record is walked, wherever in the file; a key given twice
// is refused, and so is a split key that is not an integer (of any width)
// or is negative. nullopt without split.count; split.no absent reads as 0.
[[nodiscard]] Result<std::optional<SplitKeys>> split_keys(ByteView data);

}  // namespace tarnwick::gguf
