// File handling for the command-line tool: the model mapped read-only, whole
// small files read into memory, and outputs written piece by piece, either
// straight to a stream or through a temporary file renamed into place.
#pragma once

#include <sys/stat.h>

#include <string>
#include <utility>
#include <variant>

#include "core/bytes.h"

namespace tarnwick::cli {

// The tool's documented exit statuses.
enum Exit : int { kSuccess = 0, kRejected = 1, kUsage = 2, kNotFound = 3, kIoFailure = 4 };

// A failure ready to be reported as "<subject>: <text>" on stderr.
struct Failure {
  Exit status;
  std::string subject;  // a file name, or the program for usage errors
  std::string text;
};

template <class T>
class [[nodiscard]] Outcome {
 public:
  Outcome(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Outcome(Failure failure) : v_(std::in_place_index<1>, std::move(failure)) {}
  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  Failure& failure() { return std::get<1>(v_); }

 private:
  std::variant<T, Failure> v_;
};
using Done = Outcome<std::monostate>;
inline Done done() { return std::monostate{}; }

// "<name>: <strerror(err)>", exit status 4.
Failure io_failure(const std::string& name, int err);

class Progress;

// Standard input's name in messages.
inline constexpr const char* kStdinName = "<stdin>";

// Cleans up a pending temporary file on SIGINT, SIGTERM and SIGHUP, and turns
// a SIGBUS (the mapped model shrank under us) into an I/O failure. Call once.
void install_signal_handlers();

// A model file: mapped read-only when it is a regular file, otherwise ("-",
// a pipe) read into memory.
class Model {
 public:
  static Outcome<Model> open(const std::string& path);
  Model(Model&& other) noexcept;
  Model& operator=(Model&&) = delete;
  ~Model();

  const std::string& name() const { return name_; }
  ByteView bytes() const { return {data_, size_}; }
  bool from_stdin() const { return path_ == "-"; }
  const std::string& path() const { return path_; }
  // Whether `st` describes this very file (for refusing to overwrite it).
  bool is(const struct stat& st) const;
  const struct stat& status() const { return st_; }
  // Descriptor to copy ranges from, or -1 when the bytes are in memory.
  int fd() const { return mapped_ ? fd_ : -1; }

 private:
  Model() = default;

  std::string path_;
  std::string name_;
  int fd_ = -1;
  struct stat st_ {};
  bool mapped_ = false;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  Bytes memory_;
};

// Reads a whole file ("-" for standard input) into memory.
Outcome<Bytes> read_file(const std::string& path);

// Where output goes. Regular files are written to a temporary file beside
// them and renamed over them only when complete, so a failure never leaves a
// half-written file behind; other outputs (stdout, devices) are written
// directly.
class Sink {
 public:
  static Outcome<Sink> to_stdout();
  // A new or replaced output file; an existing one keeps its permissions.
  static Outcome<Sink> to_file(const std::string& path);
  // The model's own file, replaced atomically, keeping permission bits and
  // (where permitted) ownership; a symlink keeps pointing at the new file.
  static Outcome<Sink> replacing(const Model& model);

  Sink(Sink&& other) noexcept;
  Sink& operator=(Sink&&) = delete;
  // Removes the temporary file unless commit() succeeded.
  ~Sink();

  // Writes the pieces in order; views of a mapped model are copied by the
  // kernel from the model's file where it can.
  Done write(const Pieces& pieces, const Model* source, bool show_progress);
  Done write(ByteView bytes);
  // Flushes and, for a temporary file, renames it into place.
  Done commit();

 private:
  Sink() = default;
  Done write_all(const std::uint8_t* p, std::size_t n);
  Done copy_range(const Model& source, ByteView range, Progress& progress);

  int fd_ = -1;
  std::string name_;       // for messages: the user's name of the output
  std::string final_path_; // rename target; empty when writing directly
  std::string temp_path_;
  bool sync_ = false;
  bool copy_works_ = true;
  bool committed_ = false;
};

}  // namespace tarnwick::cli
