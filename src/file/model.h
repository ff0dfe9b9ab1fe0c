// A model file opened for reading. A regular file is never mapped: a mapping
// whose file is cut short faults, and no handler of ours may catch that in
// someone else's process. Its metadata is read with pread into memory of the
// file's size whose other pages stay unreadable (they cost nothing), so the
// parsers see the file at its own offsets; its tensor data stays in the file
// and is copied by the kernel or read into small buffers. Any other input (a
// pipe, a FIFO, a character device) is read whole into memory, up to the
// machine's physical memory size (EFBIG beyond it).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "file/error.h"
#include "file/image.h"

namespace tarnwick::file {

class Model {
 public:
  enum class Access {
    Read,     // any readable file; links are followed as open() does
    File,     // as Read, but a regular file only (NotRegular otherwise,
              // judged before the file is opened for reading)
    Replace,  // to be replaced in place: a regular file is required (else
              // NotRegular, before anything is read); a symlink is resolved
              // once, here, and its folder held open for the replacement; a
              // link another user placed in a sticky world-writable folder
              // is not followed (EACCES)
    Patch,    // as Replace, to be written in place: a file with more than
              // one name is refused (HardLinked)
  };

  // `name`, when given, stands for the path in the model's name and errors
  // (a /proc/self/fd path opened for a caller who knows the file by another).
  [[nodiscard]] static Outcome<Model> open(const std::string& path, Access access, const std::string& name = {});
  // Bytes already in memory, borrowed for the model's lifetime.
  [[nodiscard]] static Model of_bytes(ByteView bytes, std::string name);
  // A stream already open (standard input), read to its end into memory.
  [[nodiscard]] static Outcome<Model> read_stream(int fd, std::string name);

  Model(Model&& other) noexcept;
  Model& operator=(Model&&) = delete;
  ~Model();

  // The caller's name of the model, for messages.
  const std::string& name() const { return name_; }
  // The whole model at its own offsets. For a file (in_file()), only the
  // metadata is readable here: its tensor data must be read with read_at.
  ByteView bytes() const { return {data_, size_}; }
  bool in_file() const { return fd_ >= 0 && file_backed_; }
  std::uint64_t size() const { return size_; }

  // Reads [offset, offset + n) of the model into `out`: from the file for
  // a file (Changed when it ends early), else from memory.
  [[nodiscard]] Done read_at(std::uint64_t offset, std::uint8_t* out, std::size_t n) const;
  // Makes [offset, offset + length) of bytes() readable, for a file; a
  // model in memory has it all already.
  [[nodiscard]] Done load_range(std::uint64_t offset, std::uint64_t length) const;
  // The folder the caller's path names the model in (stat when opened), or
  // null for a model not opened from a path.
  const struct stat* folder() const { return folder_known_ ? &folder_ : nullptr; }
  // Whether `st` describes this model's own file (a regular file only).
  bool is(const struct stat& st) const;
  // The permission bits a copy of the model gets, as cp gives a new file:
  // the file's own less set-id and sticky bits; 0666 for a stream.
  mode_t permissions() const;
  // Changed when the file's size, modification or change time differ from
  // what they were at open (for a file; always ok for one read into memory).
  [[nodiscard]] Done check_unchanged() const;

 private:
  friend class Output;
  friend Outcome<struct Patched> patch_store(const std::string&, ByteView);
  friend class WrittenDigest;
  Model() = default;
  [[nodiscard]] static Outcome<Model> open_path(const std::string& path, Access access);
  [[nodiscard]] Done load();
  [[nodiscard]] Done take_stream(int fd, std::uint64_t hint);

  std::string name_;
  int fd_ = -1;       // the open file; -1 for a stream
  int dir_fd_ = -1;   // Replace, Patch: the folder holding it
  std::string entry_; // Replace, Patch: its name in that folder
  struct stat st_ {};
  bool file_backed_ = false;  // data_ is the metadata image of fd_
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_size_ = 0;
  // file_backed_: the metadata image data_ points into (mapped_size_ 0);
  // loading more later is no change of the model
  mutable std::optional<Image> image_;
  struct stat folder_ {};
  bool folder_known_ = false;
};

// The size of the regular file at `path`, by stat (links followed), or
// nullopt for anything else; for a refusal by size before the file is opened.
std::optional<std::uint64_t> regular_file_size(const std::string& path);

// A whole small file (a manifest store) read into memory, with the same bound
// as a streamed model; "path" is opened as open() does.
[[nodiscard]] Outcome<Bytes> read_whole_file(const std::string& path);
[[nodiscard]] Outcome<Bytes> read_whole_stream(int fd, const std::string& name);

}  // namespace tarnwick::file
