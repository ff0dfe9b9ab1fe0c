// A rewrite that also yields the C2PA data hash of what it wrote: the digest
// is computed from the same pieces on a second thread while the kernel
// copies, so signing a model costs one pass over it.
#pragma once

#include <optional>

#include "core/bytes.h"
#include "core/digest.h"
#include "core/error.h"
#include "file/output.h"

namespace tarnwick::file {

struct Written {
  std::uint64_t size;
  std::optional<StoreRange> store_range;  // where the pieces placed the store
  std::optional<Bytes> digest;            // without store_range; when asked for
};

// write_pieces, and with `algorithm` the digest of the output without the
// store range the pieces mark. A failed digest (libcrypto) is a model-level
// Error, returned through `digest_error` with a failed outcome of kind
// Aborted; nothing is committed by this function either way.
[[nodiscard]] Outcome<Written> write_hashed(const Pieces& pieces, const Model& model, Output& out,
                                            const ProgressFn& progress,
                                            std::optional<digest::Algorithm> algorithm,
                                            std::optional<Error>* digest_error);

}  // namespace tarnwick::file
