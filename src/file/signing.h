// New files kept private until the caller commits them: a signature is made
// over the bytes written, and only then, once the signed store is in its
// room, does the file take its place. A model of many files commits all of
// them last, after every one was signed. Nothing is committed on a failure
// or when a Pending goes without commit().
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/bytes.h"
#include "file/error.h"
#include "file/model.h"
#include "file/operations.h"
#include "file/output.h"

namespace tarnwick::file {

class Pending {
 public:
  // The model at `path` with its C2PA data replaced by edit.source (a
  // reserved room and/or a URI) and its SHA-256 data hash taken as written:
  // in place without `output`, else at `output` as the caller's file with
  // the model's permission bits. `name`, when given, names the model.
  [[nodiscard]] static Outcome<Pending> rewrite(const std::string& path, const std::string& name,
                                                const std::optional<std::string>& output, Edit edit,
                                                const ProgressFn& progress);
  // A copy of any regular file at `output`, hashed as written.
  [[nodiscard]] static Outcome<Pending> copy(const std::string& path, const std::string& name,
                                             const std::string& output, const ProgressFn& progress);
  // `data` as a new file at `output`, with the permission bits of the file
  // `like` when given, else 0644, less the umask.
  [[nodiscard]] static Outcome<Pending> store(ByteView data, const std::string& output,
                                              const std::optional<std::string>& like);

  Pending(Pending&&) noexcept;
  Pending& operator=(Pending&&) = delete;
  ~Pending();

  std::uint64_t size() const { return written_.size; }
  const std::optional<StoreRange>& store_range() const { return written_.store_range; }
  const Bytes& digest() const { return *written_.digest; }
  bool dropped_set_id() const { return dropped_set_id_; }

  // The signed store (raw bytes) written into the reserved room, in the
  // format's stored form, then read back.
  [[nodiscard]] Done patch(ByteView store);
  // The SHA-256 of the whole new file as it stands (store included), read
  // back from the file itself: what a loader reading it whole would hash.
  [[nodiscard]] Outcome<Bytes> file_digest(const ProgressFn& progress) const;
  // Links or renames the file into place; in place, refused if the model
  // changed or its entry no longer holds it. The file is dropped after a
  // failure.
  [[nodiscard]] Done commit();

 private:
  Pending() = default;
  [[nodiscard]] Done write(const Model& source, const Pieces& pieces, const ProgressFn& progress);

  std::unique_ptr<Model> model_;  // in place: checked again at commit
  std::unique_ptr<Output> out_;
  Written written_{};
  bool dropped_set_id_ = false;
};

}  // namespace tarnwick::file
