// The file functions and the result types they return (ModelInfo,
// FileResult, BindingCheck). They are module attributes, not in __all__.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/digest.h"
#include "dispatch/format.h"
#include "file/error.h"
#include "file/output.h"
#include "python/convert.h"

namespace tarnwick::python {

// The functions' table, for PyModule_AddFunctions.
PyMethodDef* file_functions();

// The result types live in the module's state, one set per module object.
std::size_t file_state_size();
// Creates the types and sets them as module attributes; -1 with an exception.
int add_file_types(PyObject* module);
int traverse_file_types(PyObject* module, visitproc visit, void* arg);
int clear_file_types(PyObject* module);

// What the file functions share with the other functions on files.

// A file system path: str or os.PathLike giving str; bytes paths are not
// taken. `shown` is the str, for an OSError's filename.
struct Path {
  std::string native;
  Ref shown;
};
[[nodiscard]] bool path_arg(const char* function, const char* param, PyObject* obj, Path* out);
bool is_given(PyObject* obj);
// True or False only; left as it is when not given.
[[nodiscard]] bool flag_arg(const char* function, const char* param, PyObject* obj, bool* out);
[[nodiscard]] bool progress_arg(const char* function, PyObject* obj, PyObject** out);
[[nodiscard]] bool u64_arg(const char* function, const char* param, PyObject* obj, std::uint64_t* out);
PyObject* int_from(std::uint64_t v);
PyObject* range_or_none(const std::optional<StoreRange>& range);
// A digest algorithm by its C2PA name; a list (any iterable) of (offset,
// length) pairs.
[[nodiscard]] bool algorithm_arg(const char* function, const char* param, PyObject* obj, digest::Algorithm* out);
[[nodiscard]] bool exclusions_arg(const char* function, PyObject* obj, std::vector<digest::Exclusion>* out);
// A new ModelInfo of the module's type.
PyObject* model_info(PyObject* module, const ModelInfo& info);

// The model's faults as ValueError with the bytes functions' texts, the
// file's name after the text and as `filename`, so that a log line names
// it; a failed system call as the matching OSError with errno and
// filename; the layer's own refusals as ValueError (a wrong argument) or
// OSError (the file changed). Returns null.
PyObject* raise_file_error(const file::FileError& e);

// The progress callback, called with the lock held again. An exception it
// raises stops the write and is raised once the write has been undone. With
// no callback, pending signals are still checked, so Ctrl-C stops a long
// write of the main thread.
class ProgressCall {
 public:
  ProgressCall(PyObject* callback, Unlocked& unlocked) : callback_(callback), unlocked_(unlocked) {}
  // Runs with the lock released; an exception never raised is dropped with
  // the lock held.
  ~ProgressCall() {
    if (type_ == nullptr && value_ == nullptr && traceback_ == nullptr) return;
    unlocked_.locked([&] {
      Py_DecRef(type_);
      Py_DecRef(value_);
      Py_DecRef(traceback_);
      return 0;
    });
  }

  bool operator()(std::uint64_t done, std::uint64_t total) {
    return unlocked_.locked([&] {
      if (callback_ == nullptr) {
        if (PyErr_CheckSignals() == 0) return true;
      } else if (Ref r{PyObject_CallFunction(callback_, "KK", static_cast<unsigned long long>(done),
                                             static_cast<unsigned long long>(total))}) {
        return true;
      }
      PyErr_Fetch(&type_, &value_, &traceback_);
      return false;
    });
  }

  // Sets the exception that stopped the write, if any; true when one was.
  bool restore() {
    if (type_ == nullptr) return false;
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                  std::exchange(traceback_, nullptr));
    return true;
  }

 private:
  PyObject* callback_;
  Unlocked& unlocked_;
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// Runs `work` on the model without the lock and raises what it failed
// with, or hands its value to `make`. A failure that a progress callback
// raised is raised as it was.
template <class Work>
auto run_unlocked(PyObject* progress, Work&& work) {
  std::optional<std::decay_t<decltype(work(std::declval<const file::ProgressFn&>()).value())>> out;
  std::optional<file::FileError> failed;
  bool raised = false;
  {
    Unlocked unlocked;
    ProgressCall call(progress, unlocked);
    file::ProgressFn fn = [&](std::uint64_t d, std::uint64_t t) { return call(d, t); };
    auto result = work(fn);
    if (result.ok()) {
      out.emplace(std::move(result).value());
    } else {
      failed = result.error();
      if (failed->kind == file::FileError::Kind::Aborted) raised = unlocked.locked([&] { return call.restore(); });
    }
  }
  if (!out && !raised) raise_file_error(*failed);
  return out;
}

}  // namespace tarnwick::python
