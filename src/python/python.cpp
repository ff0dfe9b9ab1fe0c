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
#include "dispatch/format.h"
#include "core/manifest.h"
#include "python/convert.h"
#include "python/files.h"
#include "python/pending.h"
#include "python/remote.h"
#include "python/sealed.h"

namespace {

using tarnwick::ByteView;
using tarnwick::Bytes;
using tarnwick::Error;
using tarnwick::Format;
using tarnwick::ManifestSource;
using tarnwick::Pieces;
using tarnwick::Result;
using namespace tarnwick::python;

// Models at least this large are parsed and copied without the interpreter
// lock, so that other threads run meanwhile. Below it the hand-over of the
// lock would cost more than the work it frees.
constexpr std::size_t kUnlockedMinimum = 64 * 1024;

// Runs `work` without the interpreter lock when `unlocked`; `work` must not
// touch Python objects. The lock is taken back however `work` ends.
template <class Work>
auto maybe_unlocked(bool unlocked, Work&& work) {
  if (!unlocked) return work();
  Unlocked scope;
  return work();
}

// The model argument. It holds its own reference to the bytes object, so
// the view stays valid while the lock is released even if the caller's
// argument dict is changed meanwhile by another thread.
class BytesArg {
 public:
  BytesArg() = default;
  BytesArg(const BytesArg&) = delete;
  BytesArg& operator=(const BytesArg&) = delete;
  ~BytesArg() { Py_DecRef(owner_); }

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

// ---------------------------------------------------------------------------
// The functions.

// Parse and plan, then the one copy.
template <class Plan>
PyObject* rewritten(const BytesArg& model, Plan&& plan) {
  Result<Pieces> result = maybe_unlocked(model.unlocked(), [&] { return plan(model.view()); });
  if (!result) return raise_error(result.error());
  return bytes_from_pieces(result.value(), model.unlocked());
}

PyObject* embed_with(const BytesArg& model, const ManifestSource& source) {
  return rewritten(model, [&](ByteView data) { return tarnwick::embed_manifest(data, source); });
}

PyObject* py_embed_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"embed_manifest", {"model", "store"}, 2};
    PyObject* a[kMaxParams];
    if (!bind(sig, args, kwargs, a)) return nullptr;
    BytesArg model;
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
    BytesArg model;
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
    BytesArg model;
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
PyObject* with_bytes_model(const char* function, PyObject* args, PyObject* kwargs, Convert&& convert) {
  return guarded([&]() -> PyObject* {
    const Signature sig{function, {"model"}, 1};
    PyObject* a[kMaxParams];
    if (!bind(sig, args, kwargs, a)) return nullptr;
    BytesArg model;
    if (!model.bind(function, a[0])) return nullptr;
    return convert(model);
  });
}

PyObject* py_read_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_bytes_model("read_manifest", args, kwargs, [](const BytesArg& model) -> PyObject* {
    Result<Bytes> result =
        maybe_unlocked(model.unlocked(), [&] { return tarnwick::read_manifest(model.view()); });
    if (!result) return raise_error(result.error());
    return bytes_from(result.value());
  });
}

PyObject* py_read_manifest_uri(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_bytes_model("read_manifest_uri", args, kwargs, [](const BytesArg& model) -> PyObject* {
    Result<std::optional<std::string>> result =
        maybe_unlocked(model.unlocked(), [&] { return tarnwick::read_manifest_uri(model.view()); });
    if (!result) return raise_error(result.error());
    if (!result.value()) return none();
    return str_from(*result.value());
  });
}

PyObject* py_remove_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_bytes_model("remove_manifest", args, kwargs, [](const BytesArg& model) -> PyObject* {
    return rewritten(model, [](ByteView data) { return tarnwick::remove_manifest(data); });
  });
}

PyObject* py_detect_format(PyObject*, PyObject* args, PyObject* kwargs) {
  // Detection looks at the first bytes and the top-level layout only: too
  // little work to hand the lock over for.
  return with_bytes_model("detect_format", args, kwargs, [](const BytesArg& model) -> PyObject* {
    std::optional<Format> format = Format::detect(model.view());
    return format ? str_from(format->display_name()) : none();
  });
}

PyObject* py_model_type(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_bytes_model("model_type", args, kwargs, [](const BytesArg& model) -> PyObject* {
    std::optional<Format> format = Format::detect(model.view());
    return format ? str_from(format->model_type()) : none();
  });
}

// Private, for the tests of rewrites that keep tensor data congruent modulo
// a block until the file functions pass one.
bool block_of(const char* function, PyObject* obj, std::uint64_t* out) {
  *out = 0;
  if (obj == nullptr) return true;
  if (!PyLong_Check(obj)) return wrong_type(function, "block", "int", obj);
  *out = PyLong_AsUnsignedLongLong(obj);
  return !PyErr_Occurred();
}

PyObject* py__embed_manifest_aligned(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_embed_manifest_aligned", {"model", "store", "uri", "block"}, 4, 4, 1};
    PyObject* a[kMaxParams];
    if (!bind(sig, args, kwargs, a)) return nullptr;
    BytesArg model;
    std::optional<Bytes> store;
    std::optional<std::string> uri;
    std::uint64_t block;
    if (!model.bind(sig.function, a[0])) return nullptr;
    if (a[1] != nullptr && a[1] != Py_None) {
      ByteView view;
      if (!bytes_view(sig.function, "store", a[1], &view)) return nullptr;
      store.emplace(view.begin(), view.end());
    }
    if (a[2] != nullptr && a[2] != Py_None && !utf8_text(sig.function, "uri", a[2], &uri.emplace()))
      return nullptr;
    if (!block_of(sig.function, a[3], &block)) return nullptr;
    const ManifestSource source(std::move(store), std::move(uri));
    return rewritten(model, [&](ByteView data) { return tarnwick::embed_manifest(data, source, block); });
  });
}

PyObject* py__remove_manifest_aligned(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_remove_manifest_aligned", {"model", "block"}, 2, 2, 1};
    PyObject* a[kMaxParams];
    if (!bind(sig, args, kwargs, a)) return nullptr;
    BytesArg model;
    std::uint64_t block;
    if (!model.bind(sig.function, a[0])) return nullptr;
    if (!block_of(sig.function, a[1], &block)) return nullptr;
    return rewritten(model, [&](ByteView data) { return tarnwick::remove_manifest(data, block); });
  });
}

PyMethodDef private_functions[] = {
    TW_FUNCTION(_embed_manifest_aligned, ""),
    TW_FUNCTION(_remove_manifest_aligned, ""),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// The module.

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
  if (status < 0) return -1;
  if (PyModule_AddFunctions(module, private_functions) < 0) return -1;
  // The file functions and their result types are attributes, not in __all__.
  if (PyModule_AddFunctions(module, tarnwick::python::file_functions()) < 0) return -1;
  if (PyModule_AddFunctions(module, tarnwick::python::pending_functions()) < 0) return -1;
  if (PyModule_AddFunctions(module, tarnwick::python::remote_functions()) < 0) return -1;
  if (PyModule_AddFunctions(module, tarnwick::python::sealed_functions()) < 0) return -1;
  if (tarnwick::python::add_file_types(module) < 0) return -1;
  if (tarnwick::python::add_remote_type(module) < 0) return -1;
  if (tarnwick::python::add_sealed_type(module) < 0) return -1;
  return tarnwick::python::add_pending_type(module);
}

// The state: the file types', then Pending's.
const Py_ssize_t kStateSize =
    static_cast<Py_ssize_t>(tarnwick::python::file_state_size() + tarnwick::python::pending_state_size());

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  if (int r = tarnwick::python::traverse_file_types(module, visit, arg)) return r;
  return tarnwick::python::traverse_pending_type(module, visit, arg);
}

int clear_module(PyObject* module) {
  tarnwick::python::clear_file_types(module);
  return tarnwick::python::clear_pending_type(module);
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

// From 3.12 on, a module says whether interpreters with their own lock may
// load it; earlier versions refuse the slot as unknown, so it is given only
// from 3.12 on. Both numbers are fixed by the stable ABI of 3.12. Each module
// object keeps its own state (the result types) and shares no objects, so
// every interpreter may have it.
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
    PyModuleDef_HEAD_INIT, "tarnwick._native", "",
    kStateSize, functions, slots_3_9, traverse_module, clear_module, free_module,
};
PyModuleDef module_def_3_12 = {
    PyModuleDef_HEAD_INIT, "tarnwick._native", "",
    kStateSize, functions, slots_3_12, traverse_module, clear_module, free_module,
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

PyMODINIT_FUNC PyInit__native(void) {
  return PyModuleDef_Init(runs_on_3_12_or_later() ? &module_def_3_12 : &module_def_3_9);
}
