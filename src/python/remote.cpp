// Models read from a server, parsed by the same containers as local files:
// their metadata is loaded into an image of the whole file through range
// reads of the caller's (a Python callable), and their data hash computed
// from the bytes as they arrive, in constant memory.

#include "python/remote.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/digest.h"
#include "dispatch/format.h"
#include "file/image.h"
#include "python/convert.h"
#include "python/files.h"

namespace tarnwick::python {
namespace {

using digest::Algorithm;
using digest::DataHash;
using digest::Exclusion;
using file::FileError;

// Below this a chunk is hashed with the lock held: handing it over would
// cost more than the hashing it frees.
constexpr std::size_t kUnlockedMinimum = 64 * 1024;
// A range request costs a round trip: the metadata is asked for in chunks
// of this size, each once.
constexpr std::uint64_t kRemoteChunk = 256 * 1024;

// ---------------------------------------------------------------------------
// _StreamHash

struct StreamHashObject {
  PyObject_HEAD
  DataHash* hash;  // null once finished
  std::uint64_t size;
  std::uint64_t fed;
  bool busy;  // update() runs without the lock
};
StreamHashObject* as_stream(PyObject* self) { return reinterpret_cast<StreamHashObject*>(self); }

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_StreamHash", {"alg", "exclusions", "size"}, 3};
    PyObject* a[kMaxParams];
    Algorithm alg = Algorithm::SHA256;
    std::vector<Exclusion> exclusions;
    std::uint64_t size = 0;
    if (!bind(sig, args, kwargs, a) || !algorithm_arg(sig.function, "alg", a[0], &alg) ||
        !exclusions_arg(sig.function, a[1], &exclusions) || !u64_arg(sig.function, "size", a[2], &size))
      return nullptr;
    Result<DataHash> started = DataHash::start(alg, exclusions, size);
    if (!started.ok()) return raise_error(started.error());
    auto hash = std::make_unique<DataHash>(std::move(started).value());
    PyObject* self = PyType_GenericAlloc(type, 0);
    if (self == nullptr) return nullptr;
    StreamHashObject* s = as_stream(self);
    s->hash = hash.release();
    s->size = size;
    s->fed = 0;
    s->busy = false;
    return self;
  });
}

void stream_dealloc(PyObject* self) {
  delete std::exchange(as_stream(self)->hash, nullptr);
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// The hash still open, or an exception.
DataHash* open_hash(StreamHashObject* s) {
  if (s->busy)
    PyErr_SetString(PyExc_RuntimeError, "the hash is in use by another thread");
  else if (s->hash == nullptr)
    PyErr_SetString(PyExc_ValueError, "the hash is finished");
  else
    return s->hash;
  return nullptr;
}

PyObject* stream_update(PyObject* self, PyObject* data) {
  return guarded([&]() -> PyObject* {
    StreamHashObject* s = as_stream(self);
    ByteView view;
    if (!bytes_view("update", "data", data, &view)) return nullptr;
    DataHash* hash = open_hash(s);
    if (hash == nullptr) return nullptr;
    if (!fits(s->fed, view.size(), s->size)) {
      PyErr_Format(PyExc_ValueError, "more bytes than the %llu expected", static_cast<unsigned long long>(s->size));
      return nullptr;
    }
    std::optional<Error> failed;
    auto add = [&] {
      Status st = hash->add(view);
      if (!st.ok()) failed = st.error();
    };
    if (view.size() >= kUnlockedMinimum) {
      // The caller's reference keeps the bytes alive; busy keeps other
      // threads off the hash meanwhile.
      s->busy = true;
      {
        Unlocked unlocked;
        add();
      }
      s->busy = false;
    } else {
      add();
    }
    if (failed) return raise_error(*failed);
    s->fed += view.size();
    return none();
  });
}

PyObject* stream_finish(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    StreamHashObject* s = as_stream(self);
    DataHash* hash = open_hash(s);
    if (hash == nullptr) return nullptr;
    if (s->fed != s->size) {
      PyErr_Format(PyExc_ValueError, "%llu bytes of the %llu expected", static_cast<unsigned long long>(s->fed),
                   static_cast<unsigned long long>(s->size));
      return nullptr;
    }
    std::unique_ptr<DataHash> owned(std::exchange(s->hash, nullptr));
    Result<Bytes> digest = owned->finish();
    if (!digest.ok()) return raise_error(digest.error());
    return bytes_from(digest.value());
  });
}

PyObject* stream_fed(PyObject* self, void*) { return int_from(as_stream(self)->fed); }

PyGetSetDef kStreamGetSet[] = {
    {"fed", stream_fed, nullptr, "the bytes given so far", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kStreamMethods[] = {
    {"update", stream_update, METH_O,
     "update(data)\n--\n\nHash the next bytes (bytes); more than `size` in all is an error."},
    {"finish", stream_finish, METH_NOARGS,
     "finish()\n--\n\nThe digest; an error unless exactly `size` bytes came."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kStreamSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, kStreamMethods},
    {Py_tp_getset, kStreamGetSet},
    {Py_tp_doc, const_cast<char*>("_StreamHash(alg, exclusions, size)\n--\n\n"
                                  "The C2PA data hash of `size` bytes given in order, the exclusions left out.")},
    {0, nullptr},
};
PyType_Spec kStreamSpec = {"tarnwick._native._StreamHash", sizeof(StreamHashObject), 0, Py_TPFLAGS_DEFAULT,
                           kStreamSlots};

// ---------------------------------------------------------------------------
// _inspect_remote

// What a remote file's metadata says, read without the lock.
struct Inspected {
  ModelInfo info;
  std::optional<Bytes> store;
  bool external = false;
};

// Calls read(offset, length) with the lock held; the bytes must be exactly
// `length` long. An exception the callable raises is kept to be raised as
// it was once the parse has stopped.
class RemoteRead {
 public:
  RemoteRead(PyObject* read, PyObject* name, Unlocked& unlocked) : read_(read), name_(name), unlocked_(unlocked) {}
  ~RemoteRead() {
    if (type_ == nullptr && value_ == nullptr && traceback_ == nullptr) return;
    unlocked_.locked([&] {
      Py_DecRef(type_);
      Py_DecRef(value_);
      Py_DecRef(traceback_);
      return 0;
    });
  }

  file::Done operator()(std::uint64_t offset, std::uint8_t* out, std::size_t n) {
    const bool ok = unlocked_.locked([&] {
      Ref got(PyObject_CallFunction(read_, "KK", static_cast<unsigned long long>(offset),
                                    static_cast<unsigned long long>(n)));
      if (got && !PyBytes_Check(got.get())) {
        PyErr_SetString(PyExc_TypeError, "read() must return bytes");
        got = Ref();
      }
      if (got && PyBytes_Size(got.get()) != static_cast<Py_ssize_t>(n)) {
        PyErr_Format(PyExc_ValueError, "%U: the server gave %zd bytes of the %zu asked at offset %llu", name_,
                     PyBytes_Size(got.get()), n, static_cast<unsigned long long>(offset));
        got = Ref();
      }
      if (!got) {
        PyErr_Fetch(&type_, &value_, &traceback_);
        return false;
      }
      std::memcpy(out, PyBytes_AsString(got.get()), n);
      return true;
    });
    if (ok) return file::done();
    return FileError::of(FileError::Kind::Aborted, std::string());
  }

  // Sets the exception that stopped the parse, if any; true when one did.
  bool restore() {
    if (type_ == nullptr) return false;
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr), std::exchange(traceback_, nullptr));
    return true;
  }

 private:
  PyObject* read_;
  PyObject* name_;
  Unlocked& unlocked_;
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// The parse of a file of `size` bytes whose bytes come from `read`.
file::Outcome<Inspected> inspect_remote(std::uint64_t size, const std::string& name,
                                        std::optional<std::uint64_t> limit, RemoteRead& read) {
  auto reserved = file::Image::reserve(size, name, kRemoteChunk);
  if (!reserved.ok()) return reserved.error();
  file::Image& image = reserved.value();
  const file::Image::Fill fill = [&](std::uint64_t offset, std::uint8_t* out, std::size_t n) {
    return read(offset, out, n);
  };
  std::optional<FileError> failed;
  const LoadRange load = [&](std::uint64_t offset, std::uint64_t length) {
    file::Done d = image.load(offset, length, fill, name);
    if (!d.ok()) failed = d.error();
    return d.ok();
  };
  if (!load_metadata(image.bytes(), load)) return failed ? *failed : FileError::of(FileError::Kind::Changed, name);
  Result<ModelInfo> info = inspect(image.bytes());
  if (!info.ok()) return FileError::of_model(std::move(info).error(), name);
  if (Status loadable = check_loadable(image.bytes()); !loadable.ok())
    return FileError::of_model(std::move(loadable).error(), name);
  Inspected out{info.value(), std::nullopt, false};
  if (out.info.format == Format::ONNX) {
    Result<bool> external = has_external_data(image.bytes(), load);
    if (failed) return *failed;
    if (!external.ok()) return FileError::of_model(std::move(external).error(), name);
    out.external = external.value();
  }
  if (out.info.store_size && (!limit || *out.info.store_size <= *limit)) {
    Result<Bytes> store = read_manifest(image.bytes());
    if (!store.ok()) return FileError::of_model(std::move(store).error(), name);
    out.store = std::move(store).value();
  }
  return out;
}

PyObject* py__inspect_remote(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_inspect_remote", {"size", "read", "name", "limit"}, 4, 2, 3};
    PyObject* a[kMaxParams];
    std::uint64_t size = 0;
    std::optional<std::uint64_t> limit;
    std::string name;
    if (!bind(sig, args, kwargs, a) || !u64_arg(sig.function, "size", a[0], &size)) return nullptr;
    if (!PyCallable_Check(a[1])) {
      wrong_type(sig.function, "read", "callable", a[1]);
      return nullptr;
    }
    if (!PyUnicode_Check(a[2])) {
      wrong_type(sig.function, "name", "str", a[2]);
      return nullptr;
    }
    if (!utf8_text(sig.function, "name", a[2], &name)) return nullptr;
    if (is_given(a[3]) && !u64_arg(sig.function, "limit", a[3], &limit.emplace())) return nullptr;
    std::optional<Inspected> out;
    std::optional<FileError> failed;
    bool raised = false;
    {
      Unlocked unlocked;
      RemoteRead read(a[1], a[2], unlocked);
      auto r = inspect_remote(size, name, limit, read);
      if (r.ok()) {
        out.emplace(std::move(r).value());
      } else {
        failed = r.error();
        raised = unlocked.locked([&] { return read.restore(); });
      }
    }
    if (raised) return nullptr;
    if (failed) return raise_file_error(*failed);
    Ref info(model_info(module, out->info));
    Ref store(out->store ? bytes_from(*out->store) : none());
    if (!info || !store) return nullptr;
    return PyTuple_Pack(3, info.get(), store.get(), out->external ? Py_True : Py_False);
  });
}

PyMethodDef kFunctions[] = {
    TW_FUNCTION(_inspect_remote,
                "_inspect_remote(size, read, *, name, limit=None)\n--\n\n"
                "(ModelInfo, store or None, has external data) of a model file of `size` bytes\n"
                "read through read(offset, length) -> bytes; the store is None when larger than\n"
                "`limit`. Only the container's metadata is read."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* remote_functions() { return kFunctions; }

int add_remote_type(PyObject* module) {
  PyObject* type = PyType_FromSpec(&kStreamSpec);
  if (type == nullptr) return -1;
  if (PyModule_AddObject(module, "_StreamHash", type) < 0) {
    Py_DecRef(type);
    return -1;
  }
  return 0;
}

}  // namespace tarnwick::python
