// Failures of the file layer, as values: what went wrong (the model's own
// fault, or the file's), the errno where a system call failed, and the file
// concerned, so that each front end can report it in its own terms (a
// ValueError or an OSError with errno and filename, a line on stderr with an
// exit status).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "core/error.h"

namespace tarnwick::file {

struct FileError {
  enum class Kind {
    Model,       // the model is at fault: `model` says how
    System,      // a system call failed: `err` holds its errno
    Changed,     // the model shrank or was written to while it was being read
    Replaced,    // the file's directory entry was replaced before the commit
    SameFile,    // the output is the model's own file
    NotRegular,  // the operation needs a regular file: `detail` says what it is
    HardLinked,  // a write in place would reach the model's other names too
    Aborted,     // the progress callback asked to stop
    ExternalData,  // an ONNX model with external data written into another
                   // folder, where its data files are not
  };

  Kind kind;
  int err = 0;               // the errno for System
  std::string name;          // the file, as the caller named it
  std::optional<Error> model = {};
  std::string detail = {};   // NotRegular: what the file is instead

  static FileError system(std::string name, int err) { return {Kind::System, err, std::move(name)}; }
  static FileError of(Kind kind, std::string name) { return {kind, 0, std::move(name)}; }
  static FileError of_model(Error e, std::string name) {
    return {Kind::Model, 0, std::move(name), std::move(e)};
  }
  static FileError not_regular(std::string name, std::string detail) {
    return {Kind::NotRegular, 0, std::move(name), std::nullopt, std::move(detail)};
  }

  // The model error's message for Model; strerror(err) for System; a fixed
  // text for the other kinds.
  std::string message() const;
};

// A value or a FileError.
template <class T>
class [[nodiscard]] Outcome {
 public:
  Outcome(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Outcome(FileError error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const FileError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, FileError> v_;
};
using Done = Outcome<Unit>;
inline Done done() { return Unit{}; }

}  // namespace tarnwick::file
