// A model file opened for reading: a regular file is mapped read-only, any
// other input (a pipe, a FIFO, a character device) is read into memory, up
// to the machine's physical memory size (EFBIG beyond it).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "core/bytes.h"
#include "file/error.h"
#include "file/fault_guard.h"

namespace tarnwick::file {

class Model {
 public:
  enum class Access {
    Read,     // any readable file; links are followed as open() does
    Replace,  // to be replaced in place: a regular file is required (else
              // NotRegular, before anything is read); a symlink is resolved
              // once, here, and its folder held open for the replacement; a
              // link another user placed in a sticky world-writable folder
              // is not followed (EACCES)
  };

  [[nodiscard]] static Outcome<Model> open(const std::string& path, Access access);
  // A stream already open (standard input), read to its end into memory.
  [[nodiscard]] static Outcome<Model> read_stream(int fd, std::string name);

  Model(Model&& other) noexcept;
  Model& operator=(Model&&) = delete;
  ~Model();

  // The caller's name of the model, for messages.
  const std::string& name() const { return name_; }
  ByteView bytes() const { return {data_, size_}; }
  // Whether bytes() maps the file (else they were read into memory).
  bool mapped() const { return file_mapped_; }
  // Lets the mapping's pages within `part` go once they have been read: they
  // stay in the page cache, but no longer count as this process's memory, so
  // a pass over a model of any size keeps the resident set small.
  void release(ByteView part) const;
  // Whether `st` describes this model's own file (a regular file only).
  bool is(const struct stat& st) const;
  // Changed when the file's size or modification time differ from what they
  // were at open, or a read of the mapping faulted (for a mapped file; always
  // ok for one read into memory).
  [[nodiscard]] Done check_unchanged() const;

 private:
  friend class Output;
  Model() = default;
  [[nodiscard]] Done load();
  [[nodiscard]] Done take_stream(int fd, std::uint64_t hint);

  std::string name_;
  int fd_ = -1;       // the open file; -1 for a stream
  int dir_fd_ = -1;   // Access::Replace: the folder holding it
  std::string entry_; // Access::Replace: its name in that folder
  struct stat st_ {};
  bool file_mapped_ = false;  // data_ maps fd_ (else anonymous memory)
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_size_ = 0;
  GuardedRange guard_;  // a mapped file's pages, for the fault guard
};

// A whole small file (a manifest store) read into memory, with the same bound
// as a streamed model; "path" is opened as open() does.
[[nodiscard]] Outcome<Bytes> read_whole_file(const std::string& path);
[[nodiscard]] Outcome<Bytes> read_whole_stream(int fd, const std::string& name);

}  // namespace tarnwick::file
