// Argument binding and conversions shared by the module's functions, and the
// guard that keeps C++ exceptions out of the interpreter.
#pragma once

#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/error.h"

// A method table entry for py_<name>, which takes arguments and keywords.
#define TW_FUNCTION(name, doc) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_##name)), \
   METH_VARARGS | METH_KEYWORDS, doc}

namespace tarnwick::python {

constexpr int kMaxParams = 8;

// An owned reference, released at the end of the scope.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* p) : p_(p) {}
  Ref(Ref&& o) noexcept : p_(o.release()) {}
  Ref& operator=(Ref&& o) noexcept {
    Py_DecRef(p_);
    p_ = o.release();
    return *this;
  }
  ~Ref() { Py_DecRef(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Parameters [0, positional) may be given by position, all by keyword;
// [0, required) must be given. Unset counts mean all of them.
struct Signature {
  const char* function;
  const char* params[kMaxParams];
  int count;
  int positional = -1;
  int required = -1;
};

// Fills out[0..count) with borrowed references (null for an optional
// parameter not given), or raises TypeError.
[[nodiscard]] bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// TypeError naming the parameter, the expected type and the type given;
// returns false.
bool wrong_type(const char* function, const char* param, const char* expected, PyObject* obj);

// A view of a bytes object's buffer, valid while the object lives (bytes are
// immutable, and the caller's reference keeps it alive).
[[nodiscard]] bool bytes_view(const char* function, const char* param, PyObject* obj, ByteView* out);
// The UTF-8 text of a str; a lone surrogate raises UnicodeEncodeError.
[[nodiscard]] bool utf8_text(const char* function, const char* param, PyObject* obj, std::string* out);

// ValueError with the error's message; returns null.
PyObject* raise_error(const Error& error);

PyObject* bytes_from(ByteView bytes);
PyObject* str_from(std::string_view text);
PyObject* none();

// Runs `body`, turning any C++ exception into a Python exception.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "tarnwick internal error: %s", e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "tarnwick internal error");
    return nullptr;
  }
}

// The interpreter lock released for the scope: for work that touches no
// Python object. Reacquired on every exit, exceptions included.
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  // Runs f with the lock held again, from inside the scope.
  template <class F>
  auto locked(F&& f) {
    struct Relock {
      PyThreadState*& state;
      explicit Relock(PyThreadState*& s) : state(s) { PyEval_RestoreThread(state); }
      ~Relock() { state = PyEval_SaveThread(); }
    } relock(state_);
    return f();
  }

 private:
  PyThreadState* state_;
};

}  // namespace tarnwick::python
