// Sealed copies of a model's files. Each is a memfd filled once and then
// sealed against writing, growing, shrinking and further sealing: from then
// on its bytes are fixed for every holder, its owner included, so what was
// verified is what a loader later reads. A copy is hashed as it fills,
// from the memfd's own pages (never from a buffer on the way), so the
// digest is that of the bytes kept; a container's metadata is parsed from
// them too.

#include "python/sealed.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "containers/safetensors.h"
#include "core/digest.h"
#include "dispatch/format.h"
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
// The progress callback and pending signals are looked at every this many
// bytes copied.
constexpr std::uint64_t kPiece = 64 << 20;
// Copied, and hashed, this much at a time.
constexpr std::uint64_t kChunk = 2 << 20;
// The first bytes copied of a file whose data hash leaves its store out:
// enough to tell a container, whose metadata is then copied as its parser
// asks for it.
constexpr std::uint64_t kFirstRead = 64 * 1024;
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
  std::optional<Bytes> digest;            // SHA-256 of the whole copy
  std::optional<Bytes> data_digest;       // SHA-256 without the store
  std::optional<StoreRange> store_range;  // with data_digest: the store's, if any
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

// Takes the pages of [at, at + n) of a memfd: a shortage of memory is then
// an error here, never a fault where the pages are used.
file::Done reserve(int fd, std::uint64_t at, std::uint64_t n, const std::string& name) {
  int r;
  do r = fallocate(fd, 0, static_cast<off_t>(at), static_cast<off_t>(n)); while (r != 0 && errno == EINTR);
  return r == 0 ? file::done() : FileError::system(name, errno);
}

// A new memfd of `size` bytes, every page taken now, or with `later` each
// taken (reserve) by its writer just before it is written. Memory the
// system does not have is refused before it is asked for: the kernel would
// otherwise end the process (or another) to find it.
Outcome<Fd> new_memfd(const std::string& name, std::uint64_t size, bool later = false) {
  if (size > static_cast<std::uint64_t>(INT64_MAX)) return FileError::system(name, EFBIG);
  if (size > 0) {
    const auto room = memory_room();
    if (room && size > *room) return FileError::system(name, ENOMEM);
  }
  Fd fd(memfd_create(memfd_name(name).c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!fd) return FileError::system(name, errno);
  if (later) {
    if (ftruncate(fd.get(), static_cast<off_t>(size)) != 0) return FileError::system(name, errno);
  } else if (size > 0) {
    if (file::Done d = reserve(fd.get(), 0, size, name); !d.ok()) return d.error();
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

// The memfd's own pages, mapped read-only while it fills: what is parsed
// and hashed is what the copy holds, not a buffer on the way. Unmapped
// before the seals go on (a shared mapping of a descriptor open for
// writing would keep F_SEAL_WRITE off).
class View {
 public:
  static Outcome<View> map(int fd, std::uint64_t size, const std::string& name) {
    View v;
    if (size == 0) return v;
    void* p = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return FileError::system(name, errno);
    v.data_ = static_cast<const std::uint8_t*>(p);
    v.size_ = static_cast<std::size_t>(size);
    return v;
  }
  View(View&& o) noexcept : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  View& operator=(View&&) = delete;
  ~View() {
    if (data_ != nullptr) munmap(const_cast<std::uint8_t*>(data_), size_);
  }
  ByteView bytes() const { return {data_, size_}; }

 private:
  View() = default;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// Maps the pages of `bytes`, a range of a View, in one call; where the
// kernel cannot, the reads fault them in instead.
void populate(ByteView bytes) {
  if (bytes.empty()) return;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(bytes.data()) & ~(page - 1);
  const auto end = reinterpret_cast<std::uintptr_t>(bytes.data()) + bytes.size();
  madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_READ);
}

// The source copied into the memfd in order. The copy is hashed from the
// memfd's own pages behind it, on this thread, while a thread of its own
// copies ahead: the two overlap where a core is free, and the source is
// read once.
class Copier {
 public:
  Copier(int src, int dst, std::uint64_t size, const std::string& name, const file::ProgressFn& progress)
      : src_(src), dst_(dst), size_(size), name_(name), progress_(progress) {}

  std::uint64_t copied() const { return copied_; }

  // Copies up to `end` (at most the size), unhashed; Changed when the
  // source ends first.
  file::Done copy_to(std::uint64_t end) {
    end = std::min(end, size_);
    while (copied_ < end) {
      const std::uint64_t n = std::min(kChunk, end - copied_);
      if (file::Done d = reserve(dst_, copied_, n, name_); !d.ok()) return d.error();
      auto got = copy_piece(src_, dst_, copied_, n, &kernel_, buffer_, name_);
      if (!got.ok()) return got.error();
      if (got.value() == 0) return FileError::of(FileError::Kind::Changed, name_);
      if (!advance(got.value())) return FileError::of(FileError::Kind::Aborted, name_);
    }
    return file::done();
  }

  // Copies the rest, each byte added to `hash` from `image` (the memfd's
  // pages) once it is in.
  file::Done copy_hashed(ByteView image, digest::DataHash& hash) {
    std::mutex mutex;
    std::condition_variable moved;
    std::uint64_t ahead = copied_;
    bool stop = false, finished = false;
    std::optional<FileError> failed;
    file::Done result = file::done();
    {
      std::jthread thread([&, at = copied_, kernel = kernel_]() mutable {
        std::vector<std::uint8_t> buffer;
        std::optional<FileError> error;
        try {
          while (at < size_) {
            {
              std::lock_guard lock(mutex);
              if (stop) break;
            }
            const std::uint64_t n = std::min(kChunk, size_ - at);
            if (file::Done d = reserve(dst_, at, n, name_); !d.ok()) {
              error = d.error();
              break;
            }
            auto got = copy_piece(src_, dst_, at, n, &kernel, buffer, name_);
            if (!got.ok() || got.value() == 0) {
              error = got.ok() ? FileError::of(FileError::Kind::Changed, name_) : got.error();
              break;
            }
            // Its pages mapped here, not a fault at a time by the hash.
            populate(image.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(got.value())));
            at += got.value();
            std::lock_guard lock(mutex);
            ahead = at;
            moved.notify_one();
          }
        } catch (const std::bad_alloc&) {
          error = FileError::system(name_, ENOMEM);
        }
        std::lock_guard lock(mutex);
        failed = error;
        finished = true;
        moved.notify_one();
      });
      while (copied_ < size_) {
        std::uint64_t in;
        {
          std::unique_lock lock(mutex);
          moved.wait(lock, [&] { return ahead > copied_ || finished; });
          in = ahead;
          if (in == copied_) {
            result = failed ? *failed : FileError::of(FileError::Kind::Changed, name_);
            break;
          }
        }
        while (copied_ < in && result.ok()) {
          const std::uint64_t n = std::min(kChunk, in - copied_);
          if (Status st = hash.add(image.subspan(static_cast<std::size_t>(copied_), static_cast<std::size_t>(n)));
              !st.ok())
            result = FileError::of_model(st.error(), name_);
          else if (!advance(n))
            result = FileError::of(FileError::Kind::Aborted, name_);
        }
        if (!result.ok()) break;
      }
      std::lock_guard lock(mutex);
      stop = true;
    }  // the thread joined
    return result;
  }

 private:
  // Counts `n` more bytes copied; false when the progress callback (or a
  // signal) asks to stop.
  bool advance(std::uint64_t n) {
    const std::uint64_t before = copied_;
    copied_ += n;
    return (before / kPiece == copied_ / kPiece && copied_ != size_) || progress_(copied_, size_);
  }

  int src_, dst_;
  std::uint64_t size_;
  const std::string& name_;
  const file::ProgressFn& progress_;
  std::uint64_t copied_ = 0;
  bool kernel_ = true;
  std::vector<std::uint8_t> buffer_;
};

// The store range of a SafeTensors or GGUF file (none: it holds no store)
// whose metadata is copied first, then read from the copy: nothing when
// the file is no such container or its loader would refuse it, which
// check_binding then says. Only a failed copy is an error.
Outcome<std::optional<std::optional<StoreRange>>> container_store(ByteView image, Copier& copier,
                                                                   const std::string& name) {
  using Found = std::optional<std::optional<StoreRange>>;
  if (file::Done d = copier.copy_to(kFirstRead); !d.ok()) return d.error();
  const ByteView head = image.first(static_cast<std::size_t>(copier.copied()));
  const bool gguf = head.size() >= 4 && head[0] == 'G' && head[1] == 'G' && head[2] == 'U' && head[3] == 'F';
  if (!gguf && !safetensors::header_bounds(image).ok()) return Found{};
  std::optional<FileError> failed;
  const bool loaded = load_metadata(image, [&](std::uint64_t offset, std::uint64_t length) {
    // Within the file: load_metadata asks for no range past it.
    file::Done d = copier.copy_to(offset + length);
    if (!d.ok()) failed = d.error();
    return d.ok();
  });
  if (!loaded) return failed ? *failed : FileError::system(name, EIO);
  const std::optional<Format> format = Format::detect(image);
  if (!format || *format == Format::ONNX) return Found{};
  Result<std::optional<StoreRange>> range = locate_manifest(image);
  if (!range.ok() || !check_loadable(image).ok()) return Found{};
  return Found{range.value()};
}

// The regular file open at `src`, copied whole into a new sealed memfd, in
// one pass that also hashes it: with `bind`, a SafeTensors or GGUF file is
// hashed without its store (the C2PA data hash, and the store's range),
// which for one with no store is its whole SHA-256; with `hash`, any other
// file is hashed whole. A file that shrinks or grows meanwhile is refused.
Outcome<Sealed> seal_copy(int src, const std::string& name, bool hash, bool bind, const file::ProgressFn& progress) {
  struct stat st;
  if (fstat(src, &st) != 0) return FileError::system(name, errno);
  if (!S_ISREG(st.st_mode)) return FileError::not_regular(name, file::kind_of(st.st_mode));
  const auto size = static_cast<std::uint64_t>(st.st_size);
  // The pages are taken as the copy goes: on the thread that copies ahead
  // of the hash, beside it.
  auto made = new_memfd(name, size, true);
  if (!made.ok()) return made.error();
  Sealed out{std::move(made).value(), size, std::nullopt, std::nullopt, std::nullopt};
  {
    std::optional<View> view;
    if (hash || bind) {
      auto mapped = View::map(out.fd.get(), size, name);
      if (!mapped.ok()) return mapped.error();
      view.emplace(std::move(mapped).value());
    }
    const ByteView image = view ? view->bytes() : ByteView();
    Copier copier(src, out.fd.get(), size, name, progress);
    std::optional<std::optional<StoreRange>> store;
    if (bind && size > 0) {
      auto found = container_store(image, copier, name);
      if (!found.ok()) return found.error();
      store = found.value();
    }
    std::optional<digest::DataHash> hasher;
    std::vector<digest::Exclusion> excluded;
    if (store && *store) excluded.push_back({(*store)->offset, (*store)->length});
    if (store || hash) {
      Result<digest::DataHash> started = digest::DataHash::start(digest::Algorithm::SHA256, excluded, size);
      if (!started.ok()) return FileError::of_model(started.error(), name);
      hasher.emplace(std::move(started).value());
      // The metadata read first is hashed from the copy now, the rest as it comes.
      const ByteView head = image.first(static_cast<std::size_t>(copier.copied()));
      if (Status s = hasher->add(head); !s.ok()) return FileError::of_model(s.error(), name);
    }
    if (file::Done d = hasher ? copier.copy_hashed(image, *hasher) : copier.copy_to(size); !d.ok())
      return d.error();
    std::uint8_t probe;
    ssize_t extra;
    do extra = pread(src, &probe, 1, static_cast<off_t>(size)); while (extra < 0 && errno == EINTR);
    if (extra < 0) return FileError::system(name, errno);
    if (extra > 0) return FileError::of(FileError::Kind::Changed, name);
    if (hasher) {
      Result<Bytes> d = hasher->finish();
      if (!d.ok()) return FileError::of_model(d.error(), name);
      if (store) {
        out.data_digest = d.value();
        out.store_range = *store;
        if (!*store) out.digest = std::move(d).value();
      } else {
        out.digest = std::move(d).value();
      }
    }
  }
  struct stat now;
  if (fstat(out.fd.get(), &now) != 0) return FileError::system(name, errno);
  if (static_cast<std::uint64_t>(now.st_size) != size) return FileError::of(FileError::Kind::Changed, name);
  if (file::Done d = seal(out.fd.get(), name); !d.ok()) return d.error();
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

// (fd, size, digest or None), with `binding` (data digest or None, store
// range or None) after; the descriptor is closed if the tuple cannot be
// made.
PyObject* sealed_tuple(Sealed& s, bool binding) {
  Ref size(int_from(s.size));
  Ref digest(s.digest ? bytes_from(*s.digest) : none());
  Ref data_digest(s.data_digest ? bytes_from(*s.data_digest) : none());
  Ref range(range_or_none(s.store_range));
  Ref fd(PyLong_FromLong(s.fd.get()));
  if (!size || !digest || !data_digest || !range || !fd) return nullptr;
  PyObject* t = binding ? PyTuple_Pack(5, fd.get(), size.get(), digest.get(), data_digest.get(), range.get())
                        : PyTuple_Pack(3, fd.get(), size.get(), digest.get());
  if (t != nullptr) s.fd.release();
  return t;
}

PyObject* py__seal_copy(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"_seal_copy", {"model", "name", "hash", "bind", "progress"}, 5, 1, 1};
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
    bool hash = true, bind = false;
    PyObject* progress = nullptr;
    if (!flag_arg(sig.function, "hash", a[2], &hash) || !flag_arg(sig.function, "bind", a[3], &bind) ||
        !progress_arg(sig.function, a[4], &progress))
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
                       : seal_copy(src, native_name, hash, bind, fn);
      if (r.ok()) {
        sealed.emplace(std::move(r).value());
      } else {
        failed = r.error();
        if (failed->kind == FileError::Kind::Aborted) raised = unlocked.locked([&] { return call.restore(); });
      }
    }
    if (raised) return nullptr;
    if (failed) return raise_sealed_error(*failed, name.get());
    return sealed_tuple(*sealed, true);
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
    Sealed s{Fd(std::exchange(w->fd, -1)), w->size, std::nullopt, std::nullopt, std::nullopt};
    std::unique_ptr<digest::Hasher> hasher(std::exchange(w->hasher, nullptr));
    if (file::Done d = seal(s.fd.get(), *w->native_name); !d.ok()) return raise_sealed_error(d.error(), w->name);
    Result<Bytes> d = hasher->finish();
    if (!d.ok()) return raise_error(d.error());
    s.digest = std::move(d).value();
    return sealed_tuple(s, false);
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
                "_seal_copy(model, *, name=None, hash=True, bind=False, progress=None)\n--\n\n"
                "(fd, size, SHA-256 or None, data hash or None, store range or None) of a new sealed\n"
                "memfd holding a copy of the regular file `model` (a path, or a descriptor left open),\n"
                "hashed in the copy's one pass; the descriptor is the caller's. `hash`: the SHA-256 of\n"
                "the whole file. `bind`: for a SafeTensors or GGUF file its loader loads, the SHA-256\n"
                "without its store and the store's (offset, length) instead (no store: that hash is\n"
                "also the whole file's, and the range None)."),
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
