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

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <optional>
#include <string>

#include "core/bytes.h"
#include "core/digest.h"
#include "file/error.h"
#include "file/model.h"

namespace tarnwick::file {

// Called with (bytes written, bytes in all) from the writing thread, at most
// about ten times a second and once more at the end; returning false stops
// the write with Aborted. Must not throw.
using ProgressFn = std::function<bool(std::uint64_t done, std::uint64_t total)>;

// Calls a ProgressFn at most about ten times a second, and once at the end.
class ProgressTicker {
 public:
  ProgressTicker(const ProgressFn& progress, std::uint64_t total) : progress_(progress), total_(total) {}
  [[nodiscard]] bool tick(std::uint64_t done);
  [[nodiscard]] bool end() { return !progress_ || progress_(total_, total_); }

 private:
  const ProgressFn& progress_;
  std::uint64_t total_;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

class WrittenDigest;

class Output {
 public:
  // An open stream, written from its current position and never closed.
  // SameFile when it is `model`'s own file (null: no such check).
  [[nodiscard]] static Outcome<Output> stream(int fd, std::string name, const Model* model);

  // The file at `path`, created, or replaced once complete. Rules:
  // - SameFile when `path` is `model`'s own file (by device and inode);
  // - an existing regular file is replaced only if the caller could open it
  //   for writing (EACCES otherwise, as cp); the new file gets its owner and
  //   group where permitted and its permission bits, never set-id bits,
  //   and the sticky bit only when the owner and group came out the same;
  // - a symlink, live or dangling, is itself replaced; its target is never
  //   written, except that a link to a device, FIFO or socket is written
  //   through, as is such a file itself, and a link to the process's own
  //   standard output or error (/dev/stdout) writes to that stream;
  // - in a sticky world-writable folder (/tmp), an existing entry that
  //   another user owns (neither the caller nor the folder's owner) is
  //   refused with EACCES, whatever the kernel's protected_* settings;
  // - a new file gets the model's permission bits less the umask, as cp.
  // With `fresh`, the new file is always the caller's with those bits less
  // the umask, whatever a replaced file had, and a destination that is not
  // a regular file is refused (NotRegular) before it is opened.
  [[nodiscard]] static Outcome<Output> create(const std::string& path, const Model* model,
                                              std::optional<mode_t> fresh = std::nullopt);

  // The model's own file (opened with Access::Replace), replaced atomically
  // with its owner (where permitted), permission bits as above and extended
  // attributes (POSIX ACLs among them). Other hard links to the model keep
  // the old content, as with sed -i. Replaced if its directory entry no
  // longer holds the file that was read.
  [[nodiscard]] static Outcome<Output> replacing(const Model& model);

  Output(Output&& other) noexcept;
  Output& operator=(Output&&) = delete;
  // Discards the new file unless commit() succeeded.
  ~Output();

  const std::string& name() const { return name_; }
  // A new file of ours (not a stream): readable back while it is private.
  bool is_new_file() const { return dir_fd_ >= 0; }
  // The block a file system shares whole (0 for a stream): a rewrite that
  // keeps tensor data at offsets congruent modulo it lets the kernel share
  // the data instead of copying it.
  std::uint64_t share_block() const { return is_new_file() ? block_ : 0; }
  // Whether this output replaces the model it was opened for (in place).
  bool in_place() const { return xattr_from_ >= 0; }
  // Whether the destination's entry no longer holds what was there when
  // this output was opened (in place: the model).
  bool entry_replaced() const;
  // Whether a new file goes into the folder `folder` describes (by device
  // and inode).
  bool in_folder(const struct stat& folder) const;
  // Whether the set-id bits the replaced file had were dropped at commit.
  bool dropped_set_id() const { return dropped_set_id_; }
  [[nodiscard]] Done write(ByteView bytes);
  // A new file, while it is private: bytes written over at `offset`, and
  // the file read back as a model.
  [[nodiscard]] Done write_at(std::uint64_t offset, ByteView bytes);
  [[nodiscard]] Outcome<Model> read_back() const;
  // Syncs the new file and links or renames it into place (syncing the
  // folder after); for a stream, only reports deferred errors.
  [[nodiscard]] Done commit();

 private:
  friend Done write_pieces(const Pieces&, const Model&, Output&, const ProgressFn&);
  friend class WrittenDigest;
  Output() = default;
  // Creates the new file in dir_fd_ and takes it over.
  [[nodiscard]] Done open_new_file(mode_t mode);
  [[nodiscard]] Done write_all(const std::uint8_t* p, std::size_t n);
  [[nodiscard]] Done copy_range(const Model& model, std::uint64_t offset, std::uint64_t length,
                                std::uint8_t* stage, const std::function<bool()>& tick);
  void advanced();

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
  bool dropped_set_id_ = false;
  std::uint64_t pos_ = 0;             // bytes written through this output
  std::uint64_t block_ = 4096;        // the destination's block, for sharing
  digest::DataHash* tee_ = nullptr;   // a stream's digest, of what is written
  WrittenDigest* follower_ = nullptr; // a new file's digest, read back
  int xattr_from_ = -1;               // in place: the model, whose
                                      // extended attributes the new file keeps
};

// Writes the pieces in order, views of the model copied by the kernel from
// the model's file where it can (copy_file_range, each run's first call
// ending on a block edge of the destination, so that a file system that
// shares blocks can share them), else read into a small buffer and written;
// owned pieces with write(). Then checks that the model did not change
// meanwhile. Stops (Aborted) when `progress` says so, checked every few MiB.
[[nodiscard]] Done write_pieces(const Pieces& pieces, const Model& model, Output& out,
                                const ProgressFn& progress = {});

// The data hash of what an Output writes, without the exclusions. Of a new
// file, read back from it on a second thread as the write goes on: the file
// is ours alone until it is linked, so the digest is of the bytes that will
// be published, whatever happens to the model meanwhile. Of a stream, of the
// bytes as they are written (the kernel then copies nothing itself).
class WrittenDigest {
 public:
  // Attached to `out` until destroyed; `total` is the size to be written.
  [[nodiscard]] static Outcome<std::unique_ptr<WrittenDigest>> attach(
      Output& out, digest::Algorithm algorithm, std::span<const digest::Exclusion> exclusions,
      std::uint64_t total);
  ~WrittenDigest();
  WrittenDigest(const WrittenDigest&) = delete;
  WrittenDigest& operator=(const WrittenDigest&) = delete;

  // Once all was written: waits for the digest.
  [[nodiscard]] Outcome<Bytes> finish();

 private:
  friend class Output;
  struct Shared;
  WrittenDigest(Output& out, digest::DataHash hash, std::uint64_t total);
  void advance(std::uint64_t written);
  void run() noexcept;

  Output& out_;
  std::unique_ptr<Shared> shared_;
  std::uint64_t total_;
};

// Unlinks every named temporary not yet committed, in any thread.
// Async-signal-safe; for a handler of a signal that ends the process.
void remove_pending_temporaries() noexcept;

}  // namespace tarnwick::file
