// Sealed copies of a model's files. Each is a memfd filled once and then
// sealed against writing, growing, shrinking and further sealing: from then
// on its bytes are fixed for every holder, its owner included, so what was
// verified is what a loader later reads. A copy is hashed from the sealed
// memory itself, never from a buffer on the way, so the digest is that of
// the bytes kept.

#include "python/sealed.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/digest.h"
#include "file/error.h"
#include "file/folder.h"
#include "file/output.h"
#include "python/convert.h"
#include "python/files.h"

namespace tarnwick::python {
namespace {

using file::Fd;
using file::FileError;
using file::Outcome;

constexpr unsigned kSeals = F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL;
// Copied and hashed this much at a time: the progress callback and pending
// signals are looked at between pieces.
constexpr std::uint64_t kPiece = 64 << 20;
// The pieces of the fallback copy go through a buffer of this size.
constexpr std::size_t kBuffer = 1 << 20;
// Below this a written chunk is copied with the lock held.
constexpr std::size_t kUnlockedMinimum = 64 * 1024;
// memfd_create takes at most 249 bytes; the name only labels the memory
// (/proc/PID/fd/N shows "/memfd:NAME (deleted)").
constexpr std::size_t kNameMax = 200;

struct Sealed {
  Fd fd;
  std::uint64_t size = 0;
  std::optional<Bytes> digest;
};

// The last component of `name`, cut at a character boundary.
std::string memfd_name(const std::string& name) {
  std::string base = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
  if (base.empty()) base = "tarnwick";
  if (base.size() > kNameMax) {
    std::size_t cut = kNameMax;
    while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80) --cut;
    base.resize(cut);
  }
  return base;
}

// A number at the start of a small file (a cgroup's limit or usage, "max"
// for none), or nothing.
std::optional<std::uint64_t> number_in(const std::string& path) {
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  char text[64];
  const ssize_t n = read(fd.get(), text, sizeof text - 1);
  if (n <= 0 || text[0] < '0' || text[0] > '9') return std::nullopt;
  text[n] = '\0';
  errno = 0;
  const unsigned long long v = std::strtoull(text, nullptr, 10);
  if (errno != 0) return std::nullopt;
  return static_cast<std::uint64_t>(v);
}

// The lines of a small text file under /proc, at most `limit` bytes.
std::string small_file(const char* path, std::size_t limit) {
  std::string out;
  Fd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return out;
  char chunk[4096];
  while (out.size() < limit) {
    const ssize_t n = read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(chunk, static_cast<std::size_t>(n));
  }
  return out;
}

// The room a memory cgroup (v1 or v2) of this process and its ancestors
// leave, where it can be read.
std::optional<std::uint64_t> cgroup_room() {
  std::optional<std::uint64_t> room;
  const std::string lines = small_file("/proc/self/cgroup", 64 * 1024);
  std::size_t start = 0;
  while (start < lines.size()) {
    std::size_t end = lines.find('\n', start);
    if (end == std::string::npos) end = lines.size();
    const std::string line = lines.substr(start, end - start);
    start = end + 1;
    const std::size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    std::string base, limit_name, usage_name;
    if (controllers.empty()) {
      base = "/sys/fs/cgroup";
      limit_name = "/memory.max";
      usage_name = "/memory.current";
    } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
      base = "/sys/fs/cgroup/memory";
      limit_name = "/memory.limit_in_bytes";
      usage_name = "/memory.usage_in_bytes";
    } else {
      continue;
    }
    // From the group up to the root of the mount as this process sees it
    // (a container shows its own group as the root).
    for (int depth = 0; depth < 64; ++depth) {
      const std::string dir = base + (path == "/" ? "" : path);
      const auto limit = number_in(dir + limit_name);
      const auto usage = number_in(dir + usage_name);
      if (limit && usage) {
        const std::uint64_t left = *limit > *usage ? *limit - *usage : 0;
        room = room ? std::min(*room, left) : left;
      }
      if (path.empty() || path == "/") break;
      path.resize(path.rfind('/'));
    }
  }
  return room;
}

}  // namespace

std::optional<std::uint64_t> memory_room() {
  const std::string info = small_file("/proc/meminfo", 64 * 1024);
  const std::size_t at = info.find("MemAvailable:");
  if (at == std::string::npos) return std::nullopt;
  errno = 0;
  const unsigned long long kib = std::strtoull(info.c_str() + at + 13, nullptr, 10);
  if (errno != 0 || kib > UINT64_MAX / 1024) return std::nullopt;
  // Some of what the kernel counts as available is what it needs itself.
  std::uint64_t room = kib * 1024 / 16 * 15;
  if (auto group = cgroup_room()) room = std::min(room, *group / 16 * 15);
  return room;
}

namespace {

// A new memfd of `size` bytes, every page taken now. Memory the system does
// not have is refused before it is asked for: the kernel would otherwise
// end the process (or another) to find it.
Outcome<Fd> new_memfd(const std::string& name, std::uint64_t size) {
  if (size > static_cast<std::uint64_t>(INT64_MAX)) return FileError::system(name, EFBIG);
  if (size > 0) {
    const auto room = memory_room();
    if (room && size > *room) return FileError::system(name, ENOMEM);
  }
  Fd fd(memfd_create(memfd_name(name).c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!fd) return FileError::system(name, errno);
  if (size > 0) {
    int r;
    do r = fallocate(fd.get(), 0, 0, static_cast<off_t>(size)); while (r != 0 && errno == EINTR);
    if (r != 0) return FileError::system(name, errno);
  }
  return fd;
}

file::Done write_at(int fd, const std::uint8_t* data, std::size_t n, std::uint64_t offset, const std::string& name) {
  while (n > 0) {
    const ssize_t w = pwrite(fd, data, n, static_cast<off_t>(offset));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return FileError::system(name, w < 0 ? errno : EIO);
    data += w;
    n -= static_cast<std::size_t>(w);
    offset += static_cast<std::uint64_t>(w);
  }
  return file::done();
}

// Seals, then reads the seals back: a kernel that took fewer is refused.
file::Done seal(int fd, const std::string& name) {
  if (fcntl(fd, F_ADD_SEALS, kSeals) != 0) return FileError::system(name, errno);
  const int seals = fcntl(fd, F_GET_SEALS);
  if (seals < 0) return FileError::system(name, errno);
  if ((static_cast<unsigned>(seals) & kSeals) != kSeals) return FileError::system(name, EPERM);
  return file::done();
}

// The SHA-256 of the sealed memory, read through a read-only mapping a
// piece at a time.
Outcome<Bytes> hash_sealed(int fd, std::uint64_t size, const std::string& name,
                           const std::function<bool(std::uint64_t)>& tick) {
  Result<digest::Hasher> started = digest::Hasher::start(digest::Algorithm::SHA256);
  if (!started.ok()) return FileError::of_model(started.error(), name);
  digest::Hasher& hasher = started.value();
  for (std::uint64_t at = 0; at < size;) {
    const std::size_t n = static_cast<std::size_t>(std::min(kPiece, size - at));
    void* map = mmap(nullptr, n, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, static_cast<off_t>(at));
    if (map == MAP_FAILED) return FileError::system(name, errno);
    const Status st = hasher.update(ByteView(static_cast<const std::uint8_t*>(map), n));
    munmap(map, n);
    if (!st.ok()) return FileError::of_model(st.error(), name);
    at += n;
    if (!tick(at)) return FileError::of(FileError::Kind::Aborted, name);
  }
  Result<Bytes> d = hasher.finish();
  if (!d.ok()) return FileError::of_model(d.error(), name);
  return std::move(d).value();
}

// One piece of the copy, through the kernel where it can (sendfile from a
// file to a file), else through a buffer. Returns the bytes copied, 0 at
// the source's end.
Outcome<std::uint64_t> copy_piece(int src, int dst, std::uint64_t at, std::uint64_t n, bool* kernel,
                                  std::vector<std::uint8_t>& buffer, const std::string& name) {
  if (*kernel) {
    off_t from = static_cast<off_t>(at);
    if (lseek(dst, static_cast<off_t>(at), SEEK_SET) < 0) return FileError::system(name, errno);
    for (;;) {
      const ssize_t got = sendfile(dst, src, &from, static_cast<std::size_t>(n));
      if (got >= 0) return static_cast<std::uint64_t>(got);
      if (errno == EINTR) continue;
      if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return FileError::system(name, errno);
      *kernel = false;
      break;
    }
  }
  if (buffer.empty()) buffer.resize(kBuffer);
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n, buffer.size()));
  ssize_t got;
  do got = pread(src, buffer.data(), want, static_cast<off_t>(at)); while (got < 0 && errno == EINTR);
  if (got < 0) return FileError::system(name, errno);
  if (file::Done d = write_at(dst, buffer.data(), static_cast<std::size_t>(got), at, name); !d.ok())
    return d.error();
  return static_cast<std::uint64_t>(got);
}

// The regular file open at `src`, copied whole into a new sealed memfd;
// with its SHA-256 when `hash`. A file that shrinks or grows meanwhile is
// refused. Progress counts the copy, then the hash, each `size` bytes.
Outcome<Sealed> seal_copy(int src, const std::string& name, bool hash, const file::ProgressFn& progress) {
  struct stat st;
  if (fstat(src, &st) != 0) return FileError::system(name, errno);
  if (!S_ISREG(st.st_mode)) return FileError::not_regular(name, file::kind_of(st.st_mode));
  const auto size = static_cast<std::uint64_t>(st.st_size);
  auto made = new_memfd(name, size);
  if (!made.ok()) return made.error();
  Sealed out{std::move(made).value(), size, std::nullopt};
  const std::uint64_t total = hash ? 2 * size : size;
  bool kernel = true;
  std::vector<std::uint8_t> buffer;
  for (std::uint64_t at = 0; at < size;) {
    auto got = copy_piece(src, out.fd.get(), at, std::min(kPiece, size - at), &kernel, buffer, name);
    if (!got.ok()) return got.error();
    if (got.value() == 0) return FileError::of(FileError::Kind::Changed, name);
    at += got.value();
    if (!progress(at, total)) return FileError::of(FileError::Kind::Aborted, name);
  }
  std::uint8_t probe;
  ssize_t extra;
  do extra = pread(src, &probe, 1, static_cast<off_t>(size)); while (extra < 0 && errno == EINTR);
  if (extra < 0) return FileError::system(name, errno);
  if (extra > 0) return FileError::of(FileError::Kind::Changed, name);
  struct stat now;
  if (fstat(out.fd.get(), &now) != 0) return FileError::system(name, errno);
  if (static_cast<std::uint64_t>(now.st_size) != size) return FileError::of(FileError::Kind::Changed, name);
  if (file::Done d = seal(out.fd.get(), name); !d.ok()) return d.error();
  if (hash) {
    auto d = hash_sealed(out.fd.get(), size, name, [&](std::uint64_t done) { return progress(size + done, total); });
    if (!d.ok()) return d.error();
    out.digest = std::move(d).value();
  }
  return out;
}

// Failures, each naming the file as the caller named it.
PyObject* raise_sealed_error(const FileError& e, PyObject* name) {
  switch (e.kind) {
    case FileError::Kind::System:
      errno = e.err;
      return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
    case FileError::Kind::NotRegular:
      PyErr_Format(PyExc_ValueError, "%U: %s", name, e.message().c_str());
      return nullptr;
    case FileError::Kind::Changed:
      PyErr_Format(PyExc_OSError, "%U: the file changed while it was copied", name);
      return nullptr;
    default:
      PyErr_Format(PyExc_OSError, "%U: %s", name, e.message().c_str());
      return nullptr;
  }
}

// (fd, size, digest or None); the descriptor is closed if the tuple cannot
// be made.
PyObject* sealed_tuple(Sealed& s) {
  Ref size(int_from(s.size));
  Ref digest(s.digest ? bytes_from(*s.digest) : none());
  Ref fd(PyLong_FromLong(s.fd.get()));
  if (!size || !digest || !fd) return nullptr;
  PyObject* t = PyTuple_Pack(3, fd.get(), size.get(), digest.get());
  if (t != nullptr) s.fd.release();
  return t;
}

PyObject* py__seal_copy(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_seal_copy", {"model", "name", "hash", "progress"}, 4, 1, 1};
    PyObject* a[kMaxParams];
    if (!bind(sig, args, kwargs, a)) return nullptr;
    std::optional<Path> path;
    int given_fd = -1;
    if (PyLong_Check(a[0]) && !PyBool_Check(a[0])) {
      const long v = PyLong_AsLong(a[0]);
      if (v == -1 && PyErr_Occurred()) return nullptr;
      if (v < 0 || v > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "_seal_copy() argument 'model': %ld is not a file descriptor", v);
        return nullptr;
      }
      given_fd = static_cast<int>(v);
    } else if (!path_arg(sig.function, "model", a[0], &path.emplace())) {
      return nullptr;
    }
    Ref name;
    if (is_given(a[1])) {
      if (!PyUnicode_Check(a[1])) {
        wrong_type(sig.function, "name", "str", a[1]);
        return nullptr;
      }
      Py_IncRef(a[1]);
      name = Ref(a[1]);
    } else if (path) {
      Py_IncRef(path->shown.get());
      name = Ref(path->shown.get());
    } else {
      name = Ref(PyUnicode_FromFormat("descriptor %d", given_fd));
      if (!name) return nullptr;
    }
    std::string native_name;
    {
      Ref encoded(PyUnicode_EncodeFSDefault(name.get()));
      if (!encoded) return nullptr;
      native_name.assign(PyBytes_AsString(encoded.get()), static_cast<std::size_t>(PyBytes_Size(encoded.get())));
    }
    bool hash = true;
    PyObject* progress = nullptr;
    if (!flag_arg(sig.function, "hash", a[2], &hash) || !progress_arg(sig.function, a[3], &progress))
      return nullptr;
    std::optional<FileError> failed;
    std::optional<Sealed> sealed;
    bool raised = false;
    {
      Unlocked unlocked;
      ProgressCall call(progress, unlocked);
      file::ProgressFn fn = [&](std::uint64_t d, std::uint64_t t) { return call(d, t); };
      Fd opened;
      int src = given_fd;
      if (path) {
        // Never waits on a FIFO: it is refused as not a regular file.
        opened = Fd(open(path->native.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        src = opened.get();
      }
      auto r = src < 0 ? Outcome<Sealed>(FileError::system(native_name, errno))
                       : seal_copy(src, native_name, hash, fn);
      if (r.ok()) {
        sealed.emplace(std::move(r).value());
      } else {
        failed = r.error();
        if (failed->kind == FileError::Kind::Aborted) raised = unlocked.locked([&] { return call.restore(); });
      }
    }
    if (raised) return nullptr;
    if (failed) return raise_sealed_error(*failed, name.get());
    return sealed_tuple(*sealed);
  });
}

// ---------------------------------------------------------------------------
// _SealWriter: bytes that arrive in pieces (a download), written in order
// into a memfd of the size announced, then sealed.

struct WriterObject {
  PyObject_HEAD
  int fd;  // -1 once sealed (handed over) or closed
  std::uint64_t size;
  std::uint64_t written;
  digest::Hasher* hasher;
  PyObject* name;
  std::string* native_name;
  bool busy;  // write() runs without the lock
};
WriterObject* as_writer(PyObject* self) { return reinterpret_cast<WriterObject*>(self); }

void writer_release(WriterObject* w) {
  if (w->fd >= 0) close(std::exchange(w->fd, -1));
  delete std::exchange(w->hasher, nullptr);
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_SealWriter", {"size", "name"}, 2, 1, 2};
    PyObject* a[kMaxParams];
    std::uint64_t size = 0;
    if (!bind(sig, args, kwargs, a) || !u64_arg(sig.function, "size", a[0], &size)) return nullptr;
    if (!PyUnicode_Check(a[1])) {
      wrong_type(sig.function, "name", "str", a[1]);
      return nullptr;
    }
    Ref encoded(PyUnicode_EncodeFSDefault(a[1]));
    if (!encoded) return nullptr;
    auto native_name = std::make_unique<std::string>(PyBytes_AsString(encoded.get()),
                                                     static_cast<std::size_t>(PyBytes_Size(encoded.get())));
    std::optional<Outcome<Fd>> made;
    {
      Unlocked unlocked;  // taking every page of a large file takes a while
      made.emplace(new_memfd(*native_name, size));
    }
    if (!made->ok()) return raise_sealed_error(made->error(), a[1]);
    Result<digest::Hasher> started = digest::Hasher::start(digest::Algorithm::SHA256);
    if (!started.ok()) return raise_error(started.error());
    auto hasher = std::make_unique<digest::Hasher>(std::move(started).value());
    PyObject* self = PyType_GenericAlloc(type, 0);
    if (self == nullptr) return nullptr;
    WriterObject* w = as_writer(self);
    w->fd = made->value().release();
    w->size = size;
    w->written = 0;
    w->hasher = hasher.release();
    Py_IncRef(a[1]);
    w->name = a[1];
    w->native_name = native_name.release();
    w->busy = false;
    return self;
  });
}

void writer_dealloc(PyObject* self) {
  WriterObject* w = as_writer(self);
  writer_release(w);
  delete std::exchange(w->native_name, nullptr);
  Py_DecRef(std::exchange(w->name, nullptr));
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// The writer still open, or an exception.
bool writer_open(WriterObject* w) {
  if (w->busy)
    PyErr_SetString(PyExc_RuntimeError, "the writer is in use by another thread");
  else if (w->fd < 0)
    PyErr_Format(PyExc_ValueError, "%U: the writer is sealed or closed", w->name);
  else
    return true;
  return false;
}

PyObject* writer_write(PyObject* self, PyObject* data) {
  return guarded([&]() -> PyObject* {
    WriterObject* w = as_writer(self);
    ByteView view;
    if (!bytes_view("write", "data", data, &view) || !writer_open(w)) return nullptr;
    if (!fits(w->written, view.size(), w->size)) {
      PyErr_Format(PyExc_ValueError, "%U: more bytes than the %llu announced", w->name,
                   static_cast<unsigned long long>(w->size));
      return nullptr;
    }
    std::optional<FileError> failed;
    auto work = [&] {
      const Status st = w->hasher->update(view);
      if (!st.ok()) {
        failed = FileError::of_model(st.error(), *w->native_name);
        return;
      }
      file::Done d = write_at(w->fd, view.data(), view.size(), w->written, *w->native_name);
      if (!d.ok()) failed = d.error();
    };
    if (view.size() >= kUnlockedMinimum) {
      // The caller's reference keeps the bytes alive; busy keeps other
      // threads off the writer meanwhile.
      w->busy = true;
      {
        Unlocked unlocked;
        work();
      }
      w->busy = false;
    } else {
      work();
    }
    if (failed) {
      // A piece half written leaves the copy unusable.
      writer_release(w);
      return raise_sealed_error(*failed, w->name);
    }
    w->written += view.size();
    return none();
  });
}

PyObject* writer_seal(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    WriterObject* w = as_writer(self);
    if (!writer_open(w)) return nullptr;
    if (w->written != w->size) {
      PyErr_Format(PyExc_ValueError, "%U: %llu bytes of the %llu announced", w->name,
                   static_cast<unsigned long long>(w->written), static_cast<unsigned long long>(w->size));
      return nullptr;
    }
    Sealed s{Fd(std::exchange(w->fd, -1)), w->size, std::nullopt};
    std::unique_ptr<digest::Hasher> hasher(std::exchange(w->hasher, nullptr));
    if (file::Done d = seal(s.fd.get(), *w->native_name); !d.ok()) return raise_sealed_error(d.error(), w->name);
    Result<Bytes> d = hasher->finish();
    if (!d.ok()) return raise_error(d.error());
    s.digest = std::move(d).value();
    return sealed_tuple(s);
  });
}

PyObject* writer_close(PyObject* self, PyObject*) {
  WriterObject* w = as_writer(self);
  if (w->busy) {
    PyErr_SetString(PyExc_RuntimeError, "the writer is in use by another thread");
    return nullptr;
  }
  writer_release(w);
  return none();
}

PyObject* writer_written(PyObject* self, void*) { return int_from(as_writer(self)->written); }

PyGetSetDef kWriterGetSet[] = {
    {"written", writer_written, nullptr, "the bytes written so far", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kWriterMethods[] = {
    {"write", writer_write, METH_O,
     "write(data)\n--\n\nThe next bytes (bytes); more than `size` in all is an error."},
    {"seal", writer_seal, METH_NOARGS,
     "seal()\n--\n\n(fd, size, SHA-256) of the sealed copy, the descriptor now the caller's;\n"
     "an error unless exactly `size` bytes came."},
    {"close", writer_close, METH_NOARGS, "close()\n--\n\nDrop the copy unless it was sealed and handed over."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kWriterSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_methods, kWriterMethods},
    {Py_tp_getset, kWriterGetSet},
    {Py_tp_doc, const_cast<char*>("_SealWriter(size, *, name)\n--\n\n"
                                  "A sealed copy of `size` bytes given in order, hashed as they come.")},
    {0, nullptr},
};
PyType_Spec kWriterSpec = {"tarnwick._native._SealWriter", sizeof(WriterObject), 0, Py_TPFLAGS_DEFAULT,
                           kWriterSlots};

PyObject* py__memory_room(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    const auto room = memory_room();
    return room ? int_from(*room) : none();
  });
}

PyMethodDef kFunctions[] = {
    {"_memory_room", py__memory_room, METH_NOARGS,
     "_memory_room()\n--\n\nThe bytes of memory a sealed copy may take now, or None when unknown."},
    TW_FUNCTION(_seal_copy,
                "_seal_copy(model, *, name=None, hash=True, progress=None)\n--\n\n"
                "(fd, size, SHA-256 or None) of a new sealed memfd holding a copy of the regular\n"
                "file `model` (a path, or a descriptor left open); the descriptor is the caller's."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* sealed_functions() { return kFunctions; }

int add_sealed_type(PyObject* module) {
  PyObject* type = PyType_FromSpec(&kWriterSpec);
  if (type == nullptr) return -1;
  if (PyModule_AddObject(module, "_SealWriter", type) < 0) {
    Py_DecRef(type);
    return -1;
  }
  return 0;
}

}  // namespace tarnwick::python
