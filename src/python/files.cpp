// The module's file functions: models of any size read, rewritten and
// patched through the file layer, with the interpreter lock released for all
// file I/O, and the data hash of C2PA hard binding.

#include "python/files.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "containers/gguf.h"
#include "containers/safetensors.h"
#include "core/digest.h"
#include "dispatch/format.h"
#include "core/manifest.h"
#include "file/model.h"
#include "file/operations.h"
#include "file/output.h"
#include "python/convert.h"

namespace tarnwick::python {

using digest::Algorithm;
using digest::Exclusion;
using file::FileError;

bool flag_arg(const char* function, const char* param, PyObject* obj, bool* out) {
  if (!is_given(obj)) return true;
  if (obj != Py_True && obj != Py_False) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be True or False", function, param);
    return false;
  }
  *out = obj == Py_True;
  return true;
}

PyObject* int_from(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

PyObject* range_or_none(const std::optional<StoreRange>& range) {
  if (!range) return none();
  PyObject* offset = int_from(range->offset);
  PyObject* length = int_from(range->length);
  PyObject* pair = offset && length ? PyTuple_Pack(2, offset, length) : nullptr;
  Py_DecRef(offset);
  Py_DecRef(length);
  return pair;
}

bool path_arg(const char* function, const char* param, PyObject* obj, Path* out) {
  if (PyBytes_Check(obj) || PyByteArray_Check(obj))
    return wrong_type(function, param, "str or os.PathLike", obj);
  Ref text(PyOS_FSPath(obj));
  if (!text) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    return wrong_type(function, param, "str or os.PathLike", obj);
  }
  if (!PyUnicode_Check(text.get())) return wrong_type(function, param, "str or os.PathLike", obj);
  Ref encoded(PyUnicode_EncodeFSDefault(text.get()));
  if (!encoded) return false;
  const char* data = PyBytes_AsString(encoded.get());
  const Py_ssize_t size = PyBytes_Size(encoded.get());
  if (data == nullptr || size < 0) return false;
  if (std::memchr(data, 0, static_cast<std::size_t>(size)) != nullptr) {
    PyErr_Format(PyExc_ValueError, "%s() argument '%s': embedded null byte", function, param);
    return false;
  }
  out->native.assign(data, static_cast<std::size_t>(size));
  out->shown = std::move(text);
  return true;
}

bool is_given(PyObject* obj) { return obj != nullptr && obj != Py_None; }

bool progress_arg(const char* function, PyObject* obj, PyObject** out) {
  if (!is_given(obj)) return true;
  if (!PyCallable_Check(obj)) return wrong_type(function, "progress", "callable", obj);
  *out = obj;
  return true;
}

bool u64_arg(const char* function, const char* param, PyObject* obj, std::uint64_t* out) {
  if (!PyLong_Check(obj)) return wrong_type(function, param, "int", obj);
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be between 0 and 2**64 - 1",
                   function, param);
    }
    return false;
  }
  *out = v;
  return true;
}

PyObject* raise_file_error(const FileError& e) {
  Ref name(PyUnicode_DecodeFSDefaultAndSize(e.name.data(), static_cast<Py_ssize_t>(e.name.size())));
  if (!name) return nullptr;
  switch (e.kind) {
    case FileError::Kind::System:
      errno = e.err;
      return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
    case FileError::Kind::Model: {
      // Bytes have no name, and keep the bytes functions' texts exactly.
      if (e.name.empty() || (e.model && e.model->kind() == Error::Kind::Digest)) return raise_error(*e.model);
      Ref text(PyUnicode_FromFormat("%s: %R", e.message().c_str(), name.get()));
      Ref error(text ? PyObject_CallFunctionObjArgs(PyExc_ValueError, text.get(), nullptr) : nullptr);
      if (!error || PyObject_SetAttrString(error.get(), "filename", name.get()) < 0) return nullptr;
      PyErr_SetObject(PyExc_ValueError, error.get());
      return nullptr;
    }
    case FileError::Kind::SameFile:
    case FileError::Kind::NotRegular:
    case FileError::Kind::HardLinked:
    case FileError::Kind::ExternalData:
      PyErr_Format(PyExc_ValueError, "%R: %s", name.get(), e.message().c_str());
      return nullptr;
    default:
      PyErr_Format(PyExc_OSError, "%R: %s", name.get(), e.message().c_str());
      return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Arguments.

bool algorithm_arg(const char* function, const char* param, PyObject* obj, Algorithm* out) {
  std::string name;
  if (!utf8_text(function, param, obj, &name)) return false;
  Result<Algorithm> alg = digest::algorithm_named(name);
  if (!alg.ok()) return raise_error(alg.error()) != nullptr;
  *out = alg.value();
  return true;
}

// A list (any iterable) of (offset, length) pairs.
bool exclusions_arg(const char* function, PyObject* obj, std::vector<Exclusion>* out) {
  Ref items(PyObject_GetIter(obj));
  if (!items) {
    PyErr_Clear();
    return wrong_type(function, "exclusions", "a list of (offset, length) pairs", obj);
  }
  while (Ref item{PyIter_Next(items.get())}) {
    Ref pair(PySequence_Tuple(item.get()));
    if (!pair || PyTuple_Size(pair.get()) != 2) {
      PyErr_Clear();
      return wrong_type(function, "exclusions", "a list of (offset, length) pairs", item.get());
    }
    Exclusion e{};
    if (!u64_arg(function, "exclusions", PyTuple_GetItem(pair.get(), 0), &e.offset)) return false;
    if (!u64_arg(function, "exclusions", PyTuple_GetItem(pair.get(), 1), &e.length)) return false;
    out->push_back(e);
  }
  return !PyErr_Occurred();
}

namespace {

// ---------------------------------------------------------------------------
// Result types: immutable, named-tuple-like.

PyStructSequence_Field kModelInfoFields[] = {
    {"format", "the container format: \"GGUF\", \"SafeTensors\" or \"ONNX\""},
    {"model_type", "the C2PA asset type string of the format"},
    {"store_size", "the embedded manifest store's size in bytes, or None"},
    {"uri", "the remote manifest URI, or None"},
    {"store_range", "(offset, length) of the store as stored in the file, or None"},
    {nullptr, nullptr},
};
PyStructSequence_Field kFileResultFields[] = {
    {"path", "the file written"},
    {"size", "its size in bytes"},
    {"store_range", "(offset, length) of the store as stored in the file, or None"},
    {"digest", "the data hash of the file without its store range, or None"},
    {"changed", "False when the file was left as it was (nothing to strip)"},
    {nullptr, nullptr},
};
PyStructSequence_Field kBindingCheckFields[] = {
    {"ok", "the exclusions are exactly the store's range and the digest matches"},
    {"location_ok", "the exclusions are exactly the store's range"},
    {"hash_ok", "the digest of the model without the exclusions matches"},
    {"store_range", "(offset, length) of the store as stored in the file, or None"},
    {"reason", "why the check failed, or None"},
    {nullptr, nullptr},
};

struct TypeSpec {
  const char* attribute;
  PyStructSequence_Desc desc;
};
const TypeSpec kTypes[] = {
    {"ModelInfo", {"tarnwick.ModelInfo", "What a model holds: its format and its C2PA data.",
                   kModelInfoFields, 5}},
    {"FileResult", {"tarnwick.FileResult", "The outcome of writing a model file.",
                    kFileResultFields, 5}},
    {"BindingCheck", {"tarnwick.BindingCheck",
                      "The verdict on a C2PA data hash: location and digest.",
                      kBindingCheckFields, 5}},
};
enum TypeIndex { kModelInfo, kFileResult, kBindingCheck };
static_assert(std::size(kTypes) == kBindingCheck + 1);
static_assert(std::size(kModelInfoFields) == 5 + 1 && std::size(kFileResultFields) == 5 + 1 &&
              std::size(kBindingCheckFields) == 5 + 1);

struct State {
  PyObject* types[std::size(kTypes)];
};
State* state_of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

// A new instance of one of the types, its fields taken from `items` (new
// references, stolen; a null item fails the whole).
PyObject* make(PyObject* module, TypeIndex type, std::initializer_list<PyObject*> items) {
  State* state = state_of(module);
  PyObject* object = state ? PyStructSequence_New(reinterpret_cast<PyTypeObject*>(state->types[type])) : nullptr;
  Py_ssize_t i = 0;
  bool ok = object != nullptr;
  for (PyObject* item : items) {
    if (ok && item != nullptr) {
      PyStructSequence_SetItem(object, i++, item);
    } else {
      ok = false;
      Py_DecRef(item);
    }
  }
  if (!ok) {
    Py_DecRef(object);
    return nullptr;
  }
  return object;
}

PyObject* digest_or_none(const std::optional<Bytes>& digest) {
  return digest ? bytes_from(*digest) : none();
}

}  // namespace

PyObject* model_info(PyObject* module, const ModelInfo& info) {
  return make(module, kModelInfo,
              {str_from(info.format.display_name()), str_from(info.format.model_type()),
               info.store_size ? int_from(*info.store_size) : none(),
               info.uri ? str_from(*info.uri) : none(), range_or_none(info.store_range)});
}

namespace {

// ---------------------------------------------------------------------------
// Failures, met without the lock and raised once it is held again.

// A model given as bytes or as a path, opened as a regular file.
struct ModelArg {
  ByteView bytes;
  std::optional<Path> path;
};

bool model_arg(const char* function, PyObject* obj, bool bytes_too, ModelArg* out) {
  if (bytes_too && PyBytes_Check(obj)) return bytes_view(function, "model", obj, &out->bytes);
  out->path.emplace();
  return path_arg(function, "model", obj, &*out->path);
}

// Opens the model of `arg` and runs work(const Model&, const ProgressFn&)
// -> Outcome<T> on it; core results (Result<T>) are taken too.
template <class Work>
auto with_model_file(const ModelArg& arg, PyObject* progress, Work&& work) {
  return run_unlocked(progress, [&](const file::ProgressFn& fn) {
    using R = decltype(work(std::declval<const file::Model&>(), fn));
    auto opened = arg.path ? file::Model::open(arg.path->native, file::Model::Access::File)
                           : file::Outcome<file::Model>(file::Model::of_bytes(arg.bytes, ""));
    if (!opened.ok()) return R(opened.error());
    return work(opened.value(), fn);
  });
}

// A core reader over the model's metadata, its result valid only if the
// file did not change while it was read.
template <class T, class Read>
file::Outcome<T> read_metadata(const file::Model& m, Read&& read) {
  Result<T> result = read(m.bytes());
  // A file cut short while it was read says nothing about the model.
  if (auto same = m.check_unchanged(); !same.ok()) return same.error();
  if (!result.ok()) return FileError::of_model(std::move(result).error(), m.name());
  return std::move(result).value();
}

PyObject* py_read_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"read_file", {"model"}, 1};
    PyObject* a[kMaxParams];
    ModelArg model;
    if (!bind(sig, args, kwargs, a) || !model_arg(sig.function, a[0], false, &model)) return nullptr;
    auto store = with_model_file(model, nullptr, [](const file::Model& m, auto&&) {
      return read_metadata<Bytes>(m, [](ByteView b) { return read_manifest(b); });
    });
    return store ? bytes_from(*store) : nullptr;
  });
}

PyObject* py_read_file_uri(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"read_file_uri", {"model"}, 1};
    PyObject* a[kMaxParams];
    ModelArg model;
    if (!bind(sig, args, kwargs, a) || !model_arg(sig.function, a[0], false, &model)) return nullptr;
    auto uri = with_model_file(model, nullptr, [](const file::Model& m, auto&&) {
      return read_metadata<std::optional<std::string>>(m, [](ByteView b) { return read_manifest_uri(b); });
    });
    if (!uri) return nullptr;
    return *uri ? str_from(**uri) : none();
  });
}

PyObject* py_inspect(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"inspect", {"model"}, 1};
    PyObject* a[kMaxParams];
    ModelArg model;
    if (!bind(sig, args, kwargs, a) || !model_arg(sig.function, a[0], true, &model)) return nullptr;
    // A ValueError for bytes keeps the bytes functions' text alone.
    std::optional<ModelInfo> info;
    if (!model.path) {
      std::optional<Error> error;
      {
        Unlocked unlocked;
        Result<ModelInfo> r = inspect(model.bytes);
        Status loadable = r.ok() ? check_loadable(model.bytes) : Status(ok());
        if (!r.ok()) error = r.error(); else if (!loadable.ok()) error = loadable.error(); else info = r.value();
      }
      if (error) return raise_error(*error);
    } else {
      info = with_model_file(model, nullptr, [](const file::Model& m, auto&&) {
        return read_metadata<ModelInfo>(m, [](ByteView b) -> Result<ModelInfo> {
          TW_TRY(ModelInfo info, inspect(b));
          TW_CHECK(check_loadable(b));
          return info;
        });
      });
      if (!info) return nullptr;
    }
    return model_info(module, *info);
  });
}

// ---------------------------------------------------------------------------
// Rewriting.

struct RewriteJob {
  Path model;
  std::optional<Path> output;
  file::Edit edit;
  PyObject* progress = nullptr;
  bool want_range = false;
};

// The new model, written once, with its data hash when asked for.
std::optional<file::Written> rewrite_file(const RewriteJob& job) {
  return run_unlocked(job.progress, [&](const file::ProgressFn& fn) -> file::Outcome<file::Written> {
    using Access = file::Model::Access;
    auto model = file::Model::open(job.model.native, job.output ? Access::File : Access::Replace);
    if (!model.ok()) return model.error();
    const file::Model& m = model.value();
    auto out = job.output ? file::Output::create(job.output->native, &m) : file::Output::replacing(m);
    if (!out.ok()) return out.error();
    return file::rewrite(m, out.value(), job.edit, fn);
  });
}

PyObject* file_result(PyObject* module, PyObject* path, std::uint64_t size, const std::optional<StoreRange>& range,
                      const std::optional<Bytes>& digest, bool changed) {
  Py_IncRef(path);
  return make(module, kFileResult,
              {path, int_from(size), range_or_none(range), digest_or_none(digest), PyBool_FromLong(changed)});
}

PyObject* file_result(PyObject* module, const RewriteJob& job, const file::Written& w) {
  PyObject* path = job.output ? job.output->shown.get() : job.model.shown.get();
  return file_result(module, path, w.size, job.want_range ? w.store_range : std::nullopt, w.digest, w.changed);
}

// output, progress: the keyword arguments both rewrites share.
bool common_args(const char* function, PyObject* output, PyObject* progress, RewriteJob* job) {
  if (is_given(output)) {
    job->output.emplace();
    if (!path_arg(function, "output", output, &*job->output)) return false;
  }
  return progress_arg(function, progress, &job->progress);
}

PyObject* py_embed_file(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{
        "embed_file", {"model", "store", "uri", "output", "progress", "reserve", "hash", "external_data_copied"}, 8, 1, 1};
    PyObject* a[kMaxParams];
    if (!bind(sig, args, kwargs, a)) return nullptr;
    RewriteJob job;
    if (!path_arg(sig.function, "model", a[0], &job.model)) return nullptr;
    std::optional<Bytes> store;
    std::optional<std::string> uri;
    if (is_given(a[1])) {
      ByteView bytes;
      if (!bytes_view(sig.function, "store", a[1], &bytes)) return nullptr;
      store.emplace(bytes.begin(), bytes.end());
    }
    if (is_given(a[2])) {
      uri.emplace();
      if (!utf8_text(sig.function, "uri", a[2], &*uri)) return nullptr;
    }
    if (!common_args(sig.function, a[3], a[4], &job) || !flag_arg(sig.function, "external_data_copied", a[7], &job.edit.external_data_copied)) return nullptr;
    std::optional<std::uint64_t> reserve;
    if (is_given(a[5])) {
      if (store) {
        PyErr_SetString(PyExc_ValueError, "embed_file() takes store or reserve, not both");
        return nullptr;
      }
      reserve.emplace();
      if (!u64_arg(sig.function, "reserve", a[5], &*reserve)) return nullptr;
      job.want_range = true;
    }
    if (is_given(a[6])) {
      Algorithm alg;
      if (!algorithm_arg(sig.function, "hash", a[6], &alg)) return nullptr;
      job.edit.hash = alg;
      job.want_range = true;
    }
    if (!store && !reserve && !uri) return raise_error(Error::empty_source());
    // A reservation is a run of zeros in the output, never held in memory.
    job.edit.source = reserve ? ManifestSource::reserving(*reserve, std::move(uri))
                              : ManifestSource(std::move(store), std::move(uri));
    auto written = rewrite_file(job);
    return written ? file_result(module, job, *written) : nullptr;
  });
}

PyObject* py_strip_file(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"strip_file", {"model", "output", "progress", "external_data_copied"}, 4, 1, 1};
    PyObject* a[kMaxParams];
    if (!bind(sig, args, kwargs, a)) return nullptr;
    RewriteJob job;
    if (!path_arg(sig.function, "model", a[0], &job.model)) return nullptr;
    if (!common_args(sig.function, a[1], a[2], &job) || !flag_arg(sig.function, "external_data_copied", a[3], &job.edit.external_data_copied)) return nullptr;
    auto written = rewrite_file(job);
    return written ? file_result(module, job, *written) : nullptr;
  });
}

// ---------------------------------------------------------------------------
// Hard binding.

PyObject* py_patch_file(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"patch_file", {"model", "store"}, 2};
    PyObject* a[kMaxParams];
    Path path;
    ByteView store;
    if (!bind(sig, args, kwargs, a) || !path_arg(sig.function, "model", a[0], &path) ||
        !bytes_view(sig.function, "store", a[1], &store))
      return nullptr;
    auto patched = run_unlocked(nullptr, [&](auto&&) { return file::patch_store(path.native, store); });
    if (!patched) return nullptr;
    return file_result(module, path.shown.get(), patched->file_size, StoreRange{patched->offset, patched->length},
                       std::nullopt, true);
  });
}

PyObject* py_data_hash(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"data_hash", {"model", "alg", "exclusions", "progress"}, 4, 1, 1};
    PyObject* a[kMaxParams];
    ModelArg model;
    PyObject* progress = nullptr;
    if (!bind(sig, args, kwargs, a) || !model_arg(sig.function, a[0], true, &model) ||
        !progress_arg(sig.function, a[3], &progress))
      return nullptr;
    Algorithm alg = Algorithm::SHA256;
    if (is_given(a[1]) && !algorithm_arg(sig.function, "alg", a[1], &alg)) return nullptr;
    std::optional<std::vector<Exclusion>> given;
    if (is_given(a[2])) {
      given.emplace();
      if (!exclusions_arg(sig.function, a[2], &*given)) return nullptr;
    }
    auto digest = with_model_file(model, progress, [&](const file::Model& m, const file::ProgressFn& fn) {
      return file::data_hash(m, alg, given, fn);
    });
    return digest ? bytes_from(*digest) : nullptr;
  });
}

PyObject* py_check_binding(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"check_binding", {"model", "exclusions", "digest", "alg", "progress"}, 5, 3, 3};
    PyObject* a[kMaxParams];
    ModelArg model;
    PyObject* progress = nullptr;
    if (!bind(sig, args, kwargs, a) || !model_arg(sig.function, a[0], true, &model)) return nullptr;
    std::vector<Exclusion> excluded;
    ByteView expected;
    Algorithm alg = Algorithm::SHA256;
    if (!exclusions_arg(sig.function, a[1], &excluded)) return nullptr;
    if (!bytes_view(sig.function, "digest", a[2], &expected)) return nullptr;
    if (is_given(a[3]) && !algorithm_arg(sig.function, "alg", a[3], &alg)) return nullptr;
    if (!progress_arg(sig.function, a[4], &progress)) return nullptr;
    auto verdict = with_model_file(model, progress, [&](const file::Model& m, const file::ProgressFn& fn) {
      return file::check_binding(m, excluded, expected, alg, fn);
    });
    if (!verdict) return nullptr;
    const bool ok = verdict->ok();
    return make(module, kBindingCheck,
                {PyBool_FromLong(ok), PyBool_FromLong(verdict->location_ok),
                 PyBool_FromLong(verdict->hash_ok), range_or_none(verdict->store_range),
                 ok ? none() : str_from(verdict->reason)});
  });
}

// ---------------------------------------------------------------------------
// The files of a model of many files, read from its entry file and members
// for the Python layer, which opens each member safely and names it here
// as the model names it.

// The name a member's messages give: `name` when given, else the path.
bool member_args(const Signature& sig, PyObject* args, PyObject* kwargs, Path* path, PyObject** name) {
  PyObject* a[kMaxParams];
  if (!bind(sig, args, kwargs, a) || !path_arg(sig.function, "model", a[0], path)) return false;
  if (!is_given(a[1])) {
    *name = path->shown.get();
    return true;
  }
  if (!PyUnicode_Check(a[1])) return wrong_type(sig.function, "name", "str", a[1]);
  *name = a[1];
  return true;
}

// As raise_file_error, but every message starts with the member's name and
// a failed system call names it too.
PyObject* raise_member_error(const FileError& e, PyObject* name) {
  switch (e.kind) {
    case FileError::Kind::System:
      errno = e.err;
      return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
    case FileError::Kind::Model: {
      Ref text(PyUnicode_FromFormat("%U: %s", name, e.message().c_str()));
      Ref error(text ? PyObject_CallFunctionObjArgs(PyExc_ValueError, text.get(), nullptr) : nullptr);
      if (!error || PyObject_SetAttrString(error.get(), "filename", name) < 0) return nullptr;
      PyErr_SetObject(PyExc_ValueError, error.get());
      return nullptr;
    }
    case FileError::Kind::SameFile:
    case FileError::Kind::NotRegular:
    case FileError::Kind::HardLinked:
    case FileError::Kind::ExternalData:
      PyErr_Format(PyExc_ValueError, "%U: %s", name, e.message().c_str());
      return nullptr;
    default:
      PyErr_Format(PyExc_OSError, "%U: %s", name, e.message().c_str());
      return nullptr;
  }
}

// Opens the regular file at `path` and runs read(const Model&) ->
// Outcome<T> on it without the lock.
template <class T, class Read>
std::optional<T> read_member(const Path& path, PyObject* name, Read&& read) {
  std::optional<T> out;
  std::optional<FileError> failed;
  {
    Unlocked unlocked;
    auto opened = file::Model::open(path.native, file::Model::Access::File);
    file::Outcome<T> result = opened.ok() ? read(opened.value()) : file::Outcome<T>(opened.error());
    if (result.ok()) out = std::move(result).value(); else failed = result.error();
  }
  if (failed) raise_member_error(*failed, name);
  return out;
}

// A reader that loads what it reads, as read_metadata; a failed load is
// reported as the file's failure, not the model's.
template <class T, class Read>
file::Outcome<T> read_loading(const file::Model& m, Read&& read) {
  std::optional<FileError> failed;
  const LoadRange load = [&](std::uint64_t offset, std::uint64_t length) {
    file::Done d = m.load_range(offset, length);
    if (!d.ok()) failed = d.error();
    return d.ok();
  };
  file::Outcome<T> out = read_metadata<T>(m, [&](ByteView b) { return read(b, load); });
  if (failed) return *failed;
  return out;
}

PyObject* str_list(const std::vector<std::string>& texts) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* text = str_from(texts[i]);
    if (text == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), text) < 0) return nullptr;
  }
  return list.release();
}

PyObject* py__onnx_external(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_onnx_external", {"model", "name"}, 2, 1, 1};
    Path path;
    PyObject* name = nullptr;
    if (!member_args(sig, args, kwargs, &path, &name)) return nullptr;
    auto locations = read_member<std::vector<std::string>>(path, name, [](const file::Model& m) {
      return read_loading<std::vector<std::string>>(
          m, [](ByteView b, const LoadRange& load) { return external_data_locations(b, load); });
    });
    return locations ? str_list(*locations) : nullptr;
  });
}

PyObject* py__gguf_split(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_gguf_split", {"model", "name"}, 2, 1, 1};
    Path path;
    PyObject* name = nullptr;
    if (!member_args(sig, args, kwargs, &path, &name)) return nullptr;
    // The file's whole metadata is loaded at open, and the walk reads no
    // further than that.
    auto keys = read_member<std::optional<gguf::SplitKeys>>(path, name, [](const file::Model& m) {
      return read_metadata<std::optional<gguf::SplitKeys>>(m, [](ByteView b) { return gguf::split_keys(b); });
    });
    if (!keys) return nullptr;
    if (!*keys) return none();
    return Py_BuildValue("(KK)", static_cast<unsigned long long>((*keys)->no),
                         static_cast<unsigned long long>((*keys)->count));
  });
}

PyObject* py__index_shards(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_index_shards", {"model", "name"}, 2, 1, 1};
    Path path;
    PyObject* name = nullptr;
    if (!member_args(sig, args, kwargs, &path, &name)) return nullptr;
    // A larger index is refused by its size alone, before it is opened (an
    // open reads what it takes for a model's metadata), and again once open.
    std::optional<std::uint64_t> too_large;
    {
      // Through the file layer: stat here would bind glibc 2.33's stat64.
      Unlocked unlocked;
      const std::optional<std::uint64_t> size = file::regular_file_size(path.native);
      if (size && *size > safetensors::kMaxIndexSize) too_large = size;
    }
    if (too_large) {
      return raise_member_error(
          FileError::of_model(std::move(safetensors::check_index_size(*too_large)).error(), path.native), name);
    }
    auto shards = read_member<std::vector<std::string>>(path, name, [](const file::Model& m) {
      if (m.size() <= safetensors::kMaxIndexSize) {
        if (file::Done d = m.load_range(0, m.size()); !d.ok()) return file::Outcome<std::vector<std::string>>(d.error());
      }
      return read_metadata<std::vector<std::string>>(m, [](ByteView b) { return safetensors::index_shards(b); });
    });
    return shards ? str_list(*shards) : nullptr;
  });
}

PyMethodDef kFunctions[] = {
    TW_FUNCTION(embed_file,
                     "embed_file(model, *, store=None, uri=None, output=None, progress=None, "
                     "reserve=None, hash=None, external_data_copied=False)\n--\n\n"
                     "Embed a Manifest Store (or a reserved room of `reserve` zero bytes) and/or a\n"
                     "remote URI into a model file, in place or into `output`. An ONNX model with\n"
                     "external data is refused an `output` in another folder, unless the caller\n"
                     "copies the data files there (external_data_copied=True)."),
    TW_FUNCTION(strip_file,
                     "strip_file(model, *, output=None, progress=None, external_data_copied=False)\n--\n\n"
                     "Remove any C2PA metadata from a model file, in place or into `output`;\n"
                     "`external_data_copied` as for embed_file."),
    TW_FUNCTION(read_file,
                     "read_file(model)\n--\n\n"
                     "Read the embedded C2PA Manifest Store from a model file."),
    TW_FUNCTION(read_file_uri,
                     "read_file_uri(model)\n--\n\n"
                     "Read the remote manifest URI from a model file, or `None` if absent."),
    TW_FUNCTION(inspect,
                     "inspect(model)\n--\n\n"
                     "Describe a model (a path or bytes): format, model type, store and URI. A model its\n"
                     "format's own loader refuses (tensor layout) is refused with ValueError."),
    TW_FUNCTION(patch_file,
                     "patch_file(model, store)\n--\n\n"
                     "Write a signed Manifest Store into the room reserved for it, in place."),
    TW_FUNCTION(data_hash,
                     "data_hash(model, *, alg='sha256', exclusions=None, progress=None)\n--\n\n"
                     "The C2PA data hash of a model (a path or bytes) without the exclusion\n"
                     "ranges; by default without the store's range."),
    TW_FUNCTION(check_binding,
                     "check_binding(model, exclusions, digest, *, alg='sha256', progress=None)\n--\n\n"
                     "Check a C2PA data hash: the exclusions must be exactly where the store\n"
                     "lies, and the digest must match. A model its format's own loader refuses is\n"
                     "refused with ValueError."),
    TW_FUNCTION(_onnx_external,
                     "_onnx_external(model, *, name=None)\n--\n\n"
                     "The external data locations of an ONNX model file, each once, as raw text."),
    TW_FUNCTION(_gguf_split,
                     "_gguf_split(model, *, name=None)\n--\n\n"
                     "(split.no, split.count) of a GGUF file, or None without split.count."),
    TW_FUNCTION(_index_shards,
                     "_index_shards(model, *, name=None)\n--\n\n"
                     "The shard files a SafeTensors index names, each once, sorted."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* file_functions() { return kFunctions; }

int add_file_types(PyObject* module) {
  State* state = state_of(module);
  if (state == nullptr) return -1;
  for (std::size_t i = 0; i < std::size(kTypes); ++i) {
    PyStructSequence_Desc desc = kTypes[i].desc;
    PyObject* type = reinterpret_cast<PyObject*>(PyStructSequence_NewType(&desc));
    if (type == nullptr) return -1;
    state->types[i] = type;
    Py_IncRef(type);
    if (PyModule_AddObject(module, kTypes[i].attribute, type) < 0) {
      Py_DecRef(type);
      return -1;
    }
  }
  return 0;
}

std::size_t file_state_size() { return sizeof(State); }

int traverse_file_types(PyObject* module, visitproc visit, void* arg) {
  if (State* state = state_of(module))
    for (PyObject* type : state->types)
      if (type != nullptr)
        if (int r = visit(type, arg)) return r;
  return 0;
}

int clear_file_types(PyObject* module) {
  if (State* state = state_of(module))
    for (PyObject*& type : state->types) {
      Py_DecRef(type);
      type = nullptr;
    }
  return 0;
}

}  // namespace tarnwick::python
