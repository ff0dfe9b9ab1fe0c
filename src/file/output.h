// Where a rewritten model (or a store) goes. A regular file is written as a
// new file in the destination's folder, unnamed (O_TMPFILE) where the file
// system allows it and under a fixed-length temporary name otherwise, and
// linked or renamed into place only when complete and synced, so a failure
// or a signal never leaves a half-written file behind. Streams (standard
// output, a pipe, a device) are written as they are.
//
// Every step goes through the folder opened once at the start; nothing is
// resolved by name twice. The layer installs no signal handlers: a program
// that wants named temporaries removed on a fatal signal calls
// remove_pending_temporaries() from its own handlers.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>

#include "core/bytes.h"
#include "file/error.h"
#include "file/model.h"

namespace tarnwick::file {

// Called with (bytes written, bytes in all) from the writing thread, at most
// about ten times a second and once more at the end; returning false stops
// the write with Aborted. Must not throw.
using ProgressFn = std::function<bool(std::uint64_t done, std::uint64_t total)>;

class Output {
 public:
  // An open stream, written from its current position and never closed.
  // SameFile when it is `model`'s own file (null: no such check).
  [[nodiscard]] static Outcome<Output> stream(int fd, std::string name, const Model* model);

  // The file at `path`, created, or replaced once complete. Rules:
  // - SameFile when `path` is `model`'s own file (by device and inode);
  // - an existing regular file is replaced only if the caller could open it
  //   for writing (EACCES otherwise, as cp); the new file gets its owner and
  //   group where permitted and its permission bits, set-id and sticky bits
  //   only when the owner and group came out the same;
  // - a symlink, live or dangling, is itself replaced; its target is never
  //   written, except that a link to a device, FIFO or socket is written
  //   through, as is such a file itself, and a link to the process's own
  //   standard output or error (/dev/stdout) writes to that stream;
  // - in a sticky world-writable folder (/tmp), an existing entry that
  //   another user owns (neither the caller nor the folder's owner) is
  //   refused with EACCES, whatever the kernel's protected_* settings.
  [[nodiscard]] static Outcome<Output> create(const std::string& path, const Model* model);

  // The model's own file (opened with Access::Replace), replaced atomically
  // with its owner (where permitted) and permission bits as above. Replaced
  // if its directory entry no longer holds the file that was read.
  [[nodiscard]] static Outcome<Output> replacing(const Model& model);

  Output(Output&& other) noexcept;
  Output& operator=(Output&&) = delete;
  // Discards the new file unless commit() succeeded.
  ~Output();

  const std::string& name() const { return name_; }
  [[nodiscard]] Done write(ByteView bytes);
  // Syncs the new file and links or renames it into place (syncing the
  // folder after); for a stream, only reports deferred errors.
  [[nodiscard]] Done commit();

 private:
  friend Done write_pieces(const Pieces&, const Model&, Output&, const ProgressFn&);
  Output() = default;
  // Creates the new file in dir_fd_ and takes it over.
  [[nodiscard]] Done open_new_file(mode_t mode);
  [[nodiscard]] Done write_all(const std::uint8_t* p, std::size_t n, const Model* source);
  [[nodiscard]] Done copy_range(const Model& model, ByteView range, std::uint64_t* done,
                                const std::function<bool()>& tick);

  int fd_ = -1;
  bool owns_fd_ = false;
  std::string name_;
  int dir_fd_ = -1;          // the destination's folder; -1 for a stream
  std::string entry_;        // the destination's name in it
  bool unnamed_ = false;     // an O_TMPFILE file, linked at commit
  std::string temp_;         // the named temporary, if any
  int slot_ = -1;            // its entry in the cleanup table
  bool replaces_ = false;    // an existing entry is replaced...
  struct stat old_ {};       // ...which was this one (lstat), checked again at commit
  bool keep_identity_ = false;  // the new file takes old_'s owner and mode
  bool copy_works_ = true;
  bool committed_ = false;
};

// Writes the pieces in order, views of the model copied by the kernel from
// the model's file where it can (copy_file_range), owned pieces with write();
// then checks that the model did not change meanwhile.
[[nodiscard]] Done write_pieces(const Pieces& pieces, const Model& model, Output& out,
                                const ProgressFn& progress = {});

// Unlinks every named temporary not yet committed, in any thread.
// Async-signal-safe; for a handler of a signal that ends the process.
void remove_pending_temporaries() noexcept;

}  // namespace tarnwick::file
