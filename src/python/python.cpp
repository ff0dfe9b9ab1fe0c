// The CPython module `tarnwick`: argument binding and conversion around the
// core, built against the limited API so one binary serves CPython 3.9+.
//
// No C++ exception may cross into the interpreter: every entry point catches
// them and raises a Python exception instead.

#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/format.h"
#include "core/manifest.h"

namespace {

using tarnwick::ByteView;
using tarnwick::Bytes;
using tarnwick::Error;
using tarnwick::Format;
using tarnwick::ManifestSource;
using tarnwick::Pieces;
using tarnwick::Result;

// ---------------------------------------------------------------------------
// Argument binding: every parameter positional-or-keyword and required.

constexpr int kMaxParams = 3;

struct Signature {
  const char* function;
  const char* params[kMaxParams];
  int count;
};

// Fills out[0..count) with borrowed references, or raises TypeError.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
  const Py_ssize_t npos = PyTuple_Size(args);
  if (npos < 0) return false;
  if (npos > sig.count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd were given",
                 sig.function, sig.count, sig.count == 1 ? "" : "s", npos);
    return false;
  }
  for (Py_ssize_t i = 0; i < npos; ++i) out[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    Py_ssize_t it = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &it, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.function);
        return false;
      }
      int index = -1;
      for (int i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
          index = i;
          break;
        }
      }
      if (PyErr_Occurred()) return false;
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     sig.function, key);
        return false;
      }
      if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                     sig.params[index]);
        return false;
      }
      out[index] = value;
    }
  }
  for (int i = 0; i < sig.count; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", sig.function,
                   sig.params[i], i + 1);
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Conversions.

// TypeError naming the parameter, the expected type and the type given.
bool wrong_type(const char* function, const char* param, const char* expected, PyObject* obj) {
  PyObject* type = PyObject_Type(obj);
  PyObject* name = type ? PyObject_GetAttrString(type, "__name__") : nullptr;
  Py_DecRef(type);
  if (name == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s", function, param, expected);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %S", function, param,
                 expected, name);
    Py_DecRef(name);
  }
  return false;
}

// A view of a bytes object's buffer, valid while the object lives; bytes are
// immutable.
bool bytes_view(const char* function, const char* param, PyObject* obj, ByteView* out) {
  if (!PyBytes_Check(obj)) return wrong_type(function, param, "bytes", obj);
  char* data = PyBytes_AsString(obj);
  if (data == nullptr) return false;
  const Py_ssize_t size = PyBytes_Size(obj);
  if (size < 0) return false;
  *out = ByteView(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
  return true;
}

// The UTF-8 text of a str; a lone surrogate raises UnicodeEncodeError.
bool utf8_text(const char* function, const char* param, PyObject* obj, std::string* out) {
  if (!PyUnicode_Check(obj)) return wrong_type(function, param, "str", obj);
  PyObject* encoded = PyUnicode_AsUTF8String(obj);
  if (encoded == nullptr) return false;
  const char* data = PyBytes_AsString(encoded);
  const Py_ssize_t size = PyBytes_Size(encoded);
  if (data == nullptr || size < 0) {
    Py_DecRef(encoded);
    return false;
  }
  out->assign(data, static_cast<std::size_t>(size));
  Py_DecRef(encoded);
  return true;
}

// Models at least this large are parsed and copied without the interpreter
// lock, so that other threads run meanwhile. Below it the hand-over of the
// lock would cost more than the work it frees.
constexpr std::size_t kUnlockedMinimum = 64 * 1024;

// Runs `work` without the interpreter lock when `unlocked`; `work` must not
// touch Python objects. The lock is taken back however `work` ends.
template <class Work>
auto maybe_unlocked(bool unlocked, Work&& work) {
  if (!unlocked) return work();
  struct Relock {
    PyThreadState* state;
    ~Relock() { PyEval_RestoreThread(state); }
  } relock{PyEval_SaveThread()};
  return work();
}

// The model argument. It holds its own reference to the bytes object, so
// the view stays valid while the lock is released even if the caller's
// argument dict is changed meanwhile by another thread.
class Model {
 public:
  Model() = default;
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;
  ~Model() { Py_DecRef(owner_); }

  bool bind(const char* function, PyObject* obj) {
    if (!bytes_view(function, "model", obj, &view_)) return false;
    Py_IncRef(obj);
    owner_ = obj;
    return true;
  }
  ByteView view() const { return view_; }
  bool unlocked() const { return view_.size() >= kUnlockedMinimum; }

 private:
  PyObject* owner_ = nullptr;
  ByteView view_;
};

PyObject* raise_error(const Error& error) {
  const std::string message = error.message();
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return nullptr;
  PyErr_SetObject(PyExc_ValueError, text);
  Py_DecRef(text);
  return nullptr;
}

// The one copy of a rewritten model: allocate the bytes object at its final
// size (with the lock), then copy every piece into it (without the lock for
// a large model).
PyObject* bytes_from_pieces(const Pieces& pieces, bool unlocked) {
  if (pieces.size() > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(pieces.size()));
  if (result == nullptr) return nullptr;
  char* dst = PyBytes_AsString(result);
  if (dst == nullptr) {
    Py_DecRef(result);
    return nullptr;
  }
  maybe_unlocked(unlocked, [&] { pieces.write_to(reinterpret_cast<std::uint8_t*>(dst)); });
  return result;
}

PyObject* bytes_from(const Bytes& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* str_from(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* none() {
  Py_IncRef(Py_None);
  return Py_None;
}

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

// ---------------------------------------------------------------------------
// The functions.

// A rewrite: parse and plan, then the one copy.
template <class Rewrite>
PyObject* rewritten(const Model& model, Rewrite&& rewrite) {
  Result<Pieces> result = maybe_unlocked(model.unlocked(), [&] { return rewrite(model.view()); });
  if (!result) return raise_error(result.error());
  return bytes_from_pieces(result.value(), model.unlocked());
}

PyObject* embed_with(const Model& model, const ManifestSource& source) {
  return rewritten(model, [&](ByteView data) { return tarnwick::embed_manifest(data, source); });
}

PyObject* py_embed_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"embed_manifest", {"model", "store"}, 2};
    PyObject* a[kMaxParams];
    if (!bind(sig, args, kwargs, a)) return nullptr;
    Model model;
    ByteView store;
    if (!model.bind(sig.function, a[0])) return nullptr;
    if (!bytes_view(sig.function, "store", a[1], &store)) return nullptr;
    return embed_with(model, ManifestSource(Bytes(store.begin(), store.end()), std::nullopt));
  });
}

PyObject* py_embed_manifest_remote(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"embed_manifest_remote", {"model", "uri"}, 2};
    PyObject* a[kMaxParams];
    if (!bind(sig, args, kwargs, a)) return nullptr;
    Model model;
    std::string uri;
    if (!model.bind(sig.function, a[0])) return nullptr;
    if (!utf8_text(sig.function, "uri", a[1], &uri)) return nullptr;
    return embed_with(model, ManifestSource(std::nullopt, std::move(uri)));
  });
}

PyObject* py_embed_manifest_both(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"embed_manifest_both", {"model", "uri", "store"}, 3};
    PyObject* a[kMaxParams];
    if (!bind(sig, args, kwargs, a)) return nullptr;
    Model model;
    ByteView store;
    std::string uri;
    if (!model.bind(sig.function, a[0])) return nullptr;
    if (!utf8_text(sig.function, "uri", a[1], &uri)) return nullptr;
    if (!bytes_view(sig.function, "store", a[2], &store)) return nullptr;
    return embed_with(model,
                      ManifestSource(Bytes(store.begin(), store.end()), std::move(uri)));
  });
}

// The single-argument functions share their binding.
template <class Convert>
PyObject* with_model(const char* function, PyObject* args, PyObject* kwargs, Convert&& convert) {
  return guarded([&]() -> PyObject* {
    const Signature sig{function, {"model"}, 1};
    PyObject* a[kMaxParams];
    if (!bind(sig, args, kwargs, a)) return nullptr;
    Model model;
    if (!model.bind(function, a[0])) return nullptr;
    return convert(model);
  });
}

PyObject* py_read_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_model("read_manifest", args, kwargs, [](const Model& model) -> PyObject* {
    Result<Bytes> result =
        maybe_unlocked(model.unlocked(), [&] { return tarnwick::read_manifest(model.view()); });
    if (!result) return raise_error(result.error());
    return bytes_from(result.value());
  });
}

PyObject* py_read_manifest_uri(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_model("read_manifest_uri", args, kwargs, [](const Model& model) -> PyObject* {
    Result<std::optional<std::string>> result =
        maybe_unlocked(model.unlocked(), [&] { return tarnwick::read_manifest_uri(model.view()); });
    if (!result) return raise_error(result.error());
    if (!result.value()) return none();
    return str_from(*result.value());
  });
}

PyObject* py_remove_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_model("remove_manifest", args, kwargs, [](const Model& model) -> PyObject* {
    return rewritten(model, [](ByteView data) { return tarnwick::remove_manifest(data); });
  });
}

PyObject* py_detect_format(PyObject*, PyObject* args, PyObject* kwargs) {
  // Detection looks at the first bytes and the top-level layout only: too
  // little work to hand the lock over for.
  return with_model("detect_format", args, kwargs, [](const Model& model) -> PyObject* {
    std::optional<Format> format = Format::detect(model.view());
    return format ? str_from(format->display_name()) : none();
  });
}

PyObject* py_model_type(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_model("model_type", args, kwargs, [](const Model& model) -> PyObject* {
    std::optional<Format> format = Format::detect(model.view());
    return format ? str_from(format->model_type()) : none();
  });
}

// ---------------------------------------------------------------------------
// The module.

#define TW_FUNCTION(name, doc) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_##name)), \
   METH_VARARGS | METH_KEYWORDS, doc}

// Order matters: it is the order of __all__.
PyMethodDef functions[] = {
    TW_FUNCTION(embed_manifest,
                "embed_manifest(model, store)\n--\n\n"
                "Embed a C2PA Manifest Store into a model, auto-detecting the format."),
    TW_FUNCTION(embed_manifest_remote,
                "embed_manifest_remote(model, uri)\n--\n\n"
                "Embed a remote manifest URI into a model, auto-detecting the format."),
    TW_FUNCTION(embed_manifest_both,
                "embed_manifest_both(model, uri, store)\n--\n\n"
                "Embed both a Manifest Store and a remote URI into a model."),
    TW_FUNCTION(read_manifest,
                "read_manifest(model)\n--\n\n"
                "Read the embedded C2PA Manifest Store from a model."),
    TW_FUNCTION(read_manifest_uri,
                "read_manifest_uri(model)\n--\n\n"
                "Read the remote manifest URI from a model, or `None` if absent."),
    TW_FUNCTION(remove_manifest,
                "remove_manifest(model)\n--\n\n"
                "Remove any C2PA metadata from a model."),
    TW_FUNCTION(detect_format,
                "detect_format(model)\n--\n\n"
                "Detect the container format: `\"GGUF\"`, `\"SafeTensors\"`, `\"ONNX\"`, or `None`."),
    TW_FUNCTION(model_type,
                "model_type(model)\n--\n\n"
                "The canonical `c2pa.types.model.*` asset type string for the model's format,\n"
                "or `None` if the format is unrecognized."),
    {nullptr, nullptr, 0, nullptr},
};

// __all__ lists the functions in the order of the table.
int exec_module(PyObject* module) {
  PyObject* all = PyList_New(0);
  if (all == nullptr) return -1;
  for (const PyMethodDef* def = functions; def->ml_name != nullptr; ++def) {
    PyObject* name = PyUnicode_FromString(def->ml_name);
    const bool ok = name != nullptr && PyList_Append(all, name) == 0;
    Py_DecRef(name);
    if (!ok) {
      Py_DecRef(all);
      return -1;
    }
  }
  const int status = PyObject_SetAttrString(module, "__all__", all);
  Py_DecRef(all);
  return status;
}

// From 3.12 on, a module says whether interpreters with their own lock may
// load it; earlier versions refuse the slot as unknown, so it is given only
// from 3.12 on. Both numbers are fixed by the stable ABI of 3.12. The module
// keeps no state and shares no objects, so every interpreter may have it.
constexpr int kMultipleInterpreters = 3;  // Py_mod_multiple_interpreters
constexpr std::uintptr_t kPerInterpreterLock = 2;  // Py_MOD_PER_INTERPRETER_GIL_SUPPORTED

PyModuleDef_Slot slots_3_9[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};
PyModuleDef_Slot slots_3_12[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {kMultipleInterpreters, reinterpret_cast<void*>(kPerInterpreterLock)},
    {0, nullptr},
};

// Multi-phase initialisation: each import, in any interpreter and after any
// re-initialisation, makes a fresh module from these tables; nothing
// is kept between them.
PyModuleDef module_def_3_9 = {
    PyModuleDef_HEAD_INIT, "tarnwick", "", 0, functions, slots_3_9, nullptr, nullptr, nullptr,
};
PyModuleDef module_def_3_12 = {
    PyModuleDef_HEAD_INIT, "tarnwick", "", 0, functions, slots_3_12, nullptr, nullptr, nullptr,
};

// The running interpreter's version, from the text "3.12.1 (main, ...".
bool runs_on_3_12_or_later() {
  const char* version = Py_GetVersion();
  char* end = nullptr;
  const long major = std::strtol(version, &end, 10);
  if (*end != '.') return false;
  const long minor = std::strtol(end + 1, nullptr, 10);
  return major > 3 || (major == 3 && minor >= 12);
}

}  // namespace

PyMODINIT_FUNC PyInit_tarnwick(void) {
  return PyModuleDef_Init(runs_on_3_12_or_later() ? &module_def_3_12 : &module_def_3_9);
}
