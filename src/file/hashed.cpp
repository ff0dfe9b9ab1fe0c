#include "file/hashed.h"

#include <thread>
#include <vector>

namespace tarnwick::file {

Outcome<Written> write_hashed(const Pieces& pieces, const Model& model, Output& out,
                              const ProgressFn& progress, std::optional<digest::Algorithm> algorithm,
                              std::optional<Error>* digest_error) {
  Written written{pieces.size(), pieces.store_range(), std::nullopt};
  std::optional<Result<Bytes>> digest;
  {
    std::jthread hasher;  // joined on every exit
    if (algorithm) {
      std::vector<digest::Exclusion> excluded;
      if (written.store_range) excluded.push_back({written.store_range->offset, written.store_range->length});
      hasher = std::jthread([&, excluded] {
        digest = digest::hash_pieces(pieces, *algorithm, excluded, [&](ByteView part) { model.release(part); });
      });
    }
    Done done = write_pieces(pieces, model, out, progress);
    if (!done.ok()) return done.error();
  }
  if (digest) {
    if (!digest->ok()) {
      *digest_error = digest->error();
      return FileError::of(FileError::Kind::Aborted, out.name());
    }
    written.digest = std::move(digest->value());
  }
  return written;
}

}  // namespace tarnwick::file
