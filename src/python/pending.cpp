// New files for the signer, kept private until it commits them, so that
// Python never writes, renames, chmods or chowns a destination itself.

#include "python/pending.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/manifest.h"
#include "file/signing.h"
#include "python/convert.h"
#include "python/files.h"

namespace tarnwick::python {
namespace {

using file::FileError;

struct State {
  PyObject* type;
};
State* state_of(PyObject* module) {
  auto* base = static_cast<char*>(PyModule_GetState(module));
  return base ? reinterpret_cast<State*>(base + file_state_size()) : nullptr;
}

// Its attributes are fixed when it is made, so the file may go (committed
// or discarded) while they stay readable.
struct PendingObject {
  PyObject_HEAD
  file::Pending* pending;  // null once committed or discarded
  PyObject* path;
  PyObject* size;
  PyObject* store_range;
  PyObject* digest;
  bool busy;  // a method runs without the lock
  bool patched;
  bool committed;
  bool dropped_set_id;
};
PendingObject* as_pending(PyObject* self) { return reinterpret_cast<PendingObject*>(self); }

PyObject* new_pending(PyObject* module, file::Pending&& made, PyObject* path) {
  auto pending = std::make_unique<file::Pending>(std::move(made));
  State* state = state_of(module);
  if (state == nullptr) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(state->type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  PendingObject* p = as_pending(self);
  Py_IncRef(path);
  p->path = path;
  p->size = int_from(pending->size());
  p->store_range = range_or_none(pending->store_range());
  p->digest = bytes_from(pending->digest());
  p->pending = pending.release();
  if (p->size == nullptr || p->store_range == nullptr || p->digest == nullptr) {
    Py_DecRef(self);
    return nullptr;
  }
  return self;
}

// Without the lock: closing a large unsynced file can take a while (NFS
// writes it back on close).
void discard(PendingObject* p) {
  std::unique_ptr<file::Pending> dropped(std::exchange(p->pending, nullptr));
  if (!dropped) return;
  Unlocked unlocked;
  dropped.reset();
}

void pending_dealloc(PyObject* self) {
  PendingObject* p = as_pending(self);
  discard(p);
  Py_DecRef(p->path);
  Py_DecRef(p->size);
  Py_DecRef(p->store_range);
  Py_DecRef(p->digest);
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

PyObject* pending_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "cannot create 'tarnwick._native.Pending' instances");
  return nullptr;
}

// The file still to be worked on, or an exception.
file::Pending* usable(PendingObject* p) {
  if (p->busy)
    PyErr_SetString(PyExc_RuntimeError, "the new file is in use by another thread");
  else if (p->committed)
    PyErr_SetString(PyExc_ValueError, "the new file is committed already");
  else if (p->pending == nullptr)
    PyErr_SetString(PyExc_ValueError, "the new file was discarded");
  else
    return p->pending;
  return nullptr;
}

// Runs work(file::Pending&) without the lock, the object marked busy.
template <class Work>
bool run_on(PendingObject* p, file::Pending& pending, Work&& work) {
  p->busy = true;
  auto done = run_unlocked(nullptr, [&](auto&&) { return work(pending); });
  p->busy = false;
  return done.has_value();
}

PyObject* pending_patch(PyObject* self, PyObject* store) {
  return guarded([&]() -> PyObject* {
    PendingObject* p = as_pending(self);
    ByteView view;
    if (!bytes_view("patch", "store", store, &view)) return nullptr;
    file::Pending* pending = usable(p);
    if (pending == nullptr) return nullptr;
    if (p->patched) {
      PyErr_SetString(PyExc_ValueError, "the store was written already");
      return nullptr;
    }
    // The view stays valid unlocked: the caller's reference keeps the bytes.
    if (!run_on(p, *pending, [&](file::Pending& f) { return f.patch(view); })) return nullptr;
    p->patched = true;
    return none();
  });
}

PyObject* pending_commit(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    PendingObject* p = as_pending(self);
    if (p->committed) return none();
    file::Pending* pending = usable(p);
    if (pending == nullptr) return nullptr;
    // A room of zeros is no store: the model would claim a signature it lacks.
    if (!p->patched && p->store_range != Py_None) {
      PyErr_SetString(PyExc_ValueError, "the reserved store was never written (patch() first)");
      return nullptr;
    }
    const bool ok = run_on(p, *pending, [&](file::Pending& f) { return f.commit(); });
    p->committed = ok;
    p->dropped_set_id = pending->dropped_set_id();
    // Committed or dropped by the failure: nothing more to do with it.
    discard(p);
    return ok ? none() : nullptr;
  });
}

PyObject* pending_file_digest(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    PendingObject* p = as_pending(self);
    file::Pending* pending = usable(p);
    if (pending == nullptr) return nullptr;
    p->busy = true;
    auto hashed = run_unlocked(nullptr, [&](const file::ProgressFn& fn) { return pending->file_digest(fn); });
    p->busy = false;
    if (!hashed) return nullptr;
    return bytes_from(*hashed);
  });
}

PyObject* pending_discard(PyObject* self, PyObject*) {
  PendingObject* p = as_pending(self);
  if (p->busy) {
    PyErr_SetString(PyExc_RuntimeError, "the new file is in use by another thread");
    return nullptr;
  }
  discard(p);
  return none();
}

PyObject* pending_enter(PyObject* self, PyObject*) {
  Py_IncRef(self);
  return self;
}

PyObject* pending_exit(PyObject* self, PyObject*) { return pending_discard(self, nullptr); }

PyObject* get_field(PyObject* self, void* offset) {
  PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<std::size_t>(offset));
  Py_IncRef(value);
  return value;
}

PyObject* get_dropped_set_id(PyObject* self, void*) { return PyBool_FromLong(as_pending(self)->dropped_set_id); }

#define TW_FIELD(name, doc) \
  {#name, get_field, nullptr, doc, reinterpret_cast<void*>(offsetof(PendingObject, name))}

PyGetSetDef kGetSet[] = {
    TW_FIELD(path, "the destination, as the caller named it"),
    TW_FIELD(size, "the new file's size in bytes"),
    TW_FIELD(store_range, "(offset, length) of the reserved store as stored, or None"),
    TW_FIELD(digest, "the SHA-256 data hash of the bytes written, without store_range"),
    {"dropped_set_id", get_dropped_set_id, nullptr, "whether the replaced file's set-id bits were dropped", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef TW_FIELD

PyMethodDef kMethods[] = {
    {"patch", pending_patch, METH_O,
     "patch(store)\n--\n\nWrite the signed store (raw bytes, of the reserved size) into its room."},
    {"file_digest", pending_file_digest, METH_NOARGS,
     "file_digest()\n--\n\nThe SHA-256 of the whole new file as it stands, read back from it."},
    {"commit", pending_commit, METH_NOARGS, "commit()\n--\n\nLink or rename the new file into place."},
    {"discard", pending_discard, METH_NOARGS, "discard()\n--\n\nDrop the new file, if not committed."},
    {"__enter__", pending_enter, METH_NOARGS, nullptr},
    {"__exit__", pending_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(pending_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(pending_new)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("A new file, private until commit(); dropped if never committed.")},
    {0, nullptr},
};
PyType_Spec kSpec = {"tarnwick._native.Pending", sizeof(PendingObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

// ---------------------------------------------------------------------------
// The functions.

// `name`: how errors name the model; None for its path.
bool name_arg(const char* function, PyObject* obj, std::optional<Path>* out) {
  if (!is_given(obj)) return true;
  return path_arg(function, "name", obj, &out->emplace());
}

std::string native(const std::optional<Path>& path) { return path ? path->native : std::string(); }

PyObject* py__signing_rewrite(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_signing_rewrite",
                               {"model", "reserve", "uri", "output", "name", "progress", "external_data_copied"},
                               7, 1, 2};
    PyObject* a[kMaxParams];
    Path model;
    std::optional<Path> output, name;
    std::optional<std::uint64_t> reserve;
    std::optional<std::string> uri;
    PyObject* progress = nullptr;
    file::Edit edit;
    if (!bind(sig, args, kwargs, a) || !path_arg(sig.function, "model", a[0], &model)) return nullptr;
    if (is_given(a[1]) && !u64_arg(sig.function, "reserve", a[1], &reserve.emplace())) return nullptr;
    if (is_given(a[2]) && !utf8_text(sig.function, "uri", a[2], &uri.emplace())) return nullptr;
    if (is_given(a[3]) && !path_arg(sig.function, "output", a[3], &output.emplace())) return nullptr;
    if (!name_arg(sig.function, a[4], &name) || !progress_arg(sig.function, a[5], &progress) ||
        !flag_arg(sig.function, "external_data_copied", a[6], &edit.external_data_copied))
      return nullptr;
    if (!reserve && !uri) return raise_error(Error::empty_source());
    edit.source = reserve ? ManifestSource::reserving(*reserve, std::move(uri))
                          : ManifestSource(std::nullopt, std::move(uri));
    std::optional<std::string> where;
    if (output) where = output->native;
    auto made = run_unlocked(progress, [&](const file::ProgressFn& fn) {
      return file::Pending::rewrite(model.native, native(name), where, edit, fn);
    });
    if (!made) return nullptr;
    PyObject* path = output ? output->shown.get() : name ? name->shown.get() : model.shown.get();
    return new_pending(module, std::move(*made), path);
  });
}

PyObject* py__copying(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_copying", {"model", "output", "name", "progress"}, 4, 1, 2};
    PyObject* a[kMaxParams];
    Path model, output;
    std::optional<Path> name;
    PyObject* progress = nullptr;
    if (!bind(sig, args, kwargs, a) || !path_arg(sig.function, "model", a[0], &model) ||
        !path_arg(sig.function, "output", a[1], &output) || !name_arg(sig.function, a[2], &name) ||
        !progress_arg(sig.function, a[3], &progress))
      return nullptr;
    auto made = run_unlocked(progress, [&](const file::ProgressFn& fn) {
      return file::Pending::copy(model.native, native(name), output.native, fn);
    });
    return made ? new_pending(module, std::move(*made), output.shown.get()) : nullptr;
  });
}

PyObject* py__storing(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_storing", {"data", "output", "like"}, 3, 1, 2};
    PyObject* a[kMaxParams];
    ByteView data;
    Path output;
    std::optional<Path> like;
    if (!bind(sig, args, kwargs, a) || !bytes_view(sig.function, "data", a[0], &data) ||
        !path_arg(sig.function, "output", a[1], &output))
      return nullptr;
    if (is_given(a[2]) && !path_arg(sig.function, "like", a[2], &like.emplace())) return nullptr;
    std::optional<std::string> like_native;
    if (like) like_native = like->native;
    auto made = run_unlocked(nullptr, [&](auto&&) { return file::Pending::store(data, output.native, like_native); });
    return made ? new_pending(module, std::move(*made), output.shown.get()) : nullptr;
  });
}

PyObject* py__hash_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_hash_file", {"model", "name", "progress"}, 3, 1, 1};
    PyObject* a[kMaxParams];
    Path model;
    std::optional<Path> name;
    PyObject* progress = nullptr;
    if (!bind(sig, args, kwargs, a) || !path_arg(sig.function, "model", a[0], &model) ||
        !name_arg(sig.function, a[1], &name) || !progress_arg(sig.function, a[2], &progress))
      return nullptr;
    using Hashed = std::pair<std::uint64_t, Bytes>;
    auto hashed = run_unlocked(progress, [&](const file::ProgressFn& fn) -> file::Outcome<Hashed> {
      auto opened = file::Model::open(model.native, file::Model::Access::File, native(name));
      if (!opened.ok()) return opened.error();
      // No exclusions: the file is not parsed, so any file is hashed whole.
      auto d = file::data_hash(opened.value(), digest::Algorithm::SHA256, std::vector<digest::Exclusion>{}, fn);
      if (!d.ok()) return d.error();
      return Hashed{opened.value().size(), std::move(d).value()};
    });
    if (!hashed) return nullptr;
    Ref size(int_from(hashed->first));
    Ref digest(bytes_from(hashed->second));
    return size && digest ? PyTuple_Pack(2, size.get(), digest.get()) : nullptr;
  });
}

PyObject* py__remove_pending_temporaries(PyObject*, PyObject*) {
  file::remove_pending_temporaries();
  return none();
}

PyMethodDef kFunctions[] = {
    TW_FUNCTION(_signing_rewrite,
                "_signing_rewrite(model, *, reserve, uri=None, output=None, name=None, progress=None, "
                "external_data_copied=False)\n--\n\n"
                "The model with its C2PA data replaced by a reserved store and/or a URI, private\n"
                "until commit()."),
    TW_FUNCTION(_copying,
                "_copying(model, *, output, name=None, progress=None)\n--\n\n"
                "A copy of any regular file at `output`, private until commit()."),
    TW_FUNCTION(_storing,
                "_storing(data, *, output, like=None)\n--\n\n"
                "`data` as a new file at `output`, private until commit()."),
    TW_FUNCTION(_hash_file,
                "_hash_file(model, *, name=None, progress=None)\n--\n\n"
                "(size, SHA-256) of any regular file."),
    {"_remove_pending_temporaries", py__remove_pending_temporaries, METH_NOARGS,
     "_remove_pending_temporaries()\n--\n\nRemove the named temporaries not yet committed."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* pending_functions() { return kFunctions; }

std::size_t pending_state_size() { return sizeof(State); }

int add_pending_type(PyObject* module) {
  State* state = state_of(module);
  if (state == nullptr) return -1;
  PyObject* type = PyType_FromSpec(&kSpec);
  if (type == nullptr) return -1;
  state->type = type;
  Py_IncRef(type);
  if (PyModule_AddObject(module, "Pending", type) < 0) {
    Py_DecRef(type);
    return -1;
  }
  return 0;
}

int traverse_pending_type(PyObject* module, visitproc visit, void* arg) {
  State* state = state_of(module);
  return state != nullptr && state->type != nullptr ? visit(state->type, arg) : 0;
}

int clear_pending_type(PyObject* module) {
  if (State* state = state_of(module)) {
    Py_DecRef(state->type);
    state->type = nullptr;
  }
  return 0;
}

}  // namespace tarnwick::python
