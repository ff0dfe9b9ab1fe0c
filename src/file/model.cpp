#include "file/model.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>

#include "dispatch/format.h"
#include "file/folder.h"

namespace tarnwick::file {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;

// Inputs read into memory stop at the size of the machine's memory: more
// could not be held, and an endless device (/dev/zero) must end somewhere.
std::uint64_t memory_bound() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return UINT64_MAX;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

// Anonymous memory that grows by remapping, so the bytes read so far are
// never copied and the peak stays at one copy of the input.
class Growing {
 public:
  Growing() = default;
  Growing(const Growing&) = delete;
  Growing& operator=(const Growing&) = delete;
  ~Growing() {
    if (p_ != nullptr) munmap(p_, capacity_);
  }

  // Room for at least `want` bytes; false (errno set) when there is none.
  bool reserve(std::size_t want) {
    if (want <= capacity_) return true;
    void* p = p_ == nullptr ? mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                            : mremap(p_, capacity_, want, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) return false;
    p_ = static_cast<std::uint8_t*>(p);
    capacity_ = want;
    return true;
  }
  std::uint8_t* data() const { return p_; }
  std::size_t capacity() const { return capacity_; }
  std::uint8_t* release() { return std::exchange(p_, nullptr); }

 private:
  std::uint8_t* p_ = nullptr;
  std::size_t capacity_ = 0;
};

// Reads `fd` to its end into `buf`; returns the byte count.
Outcome<std::size_t> read_to_end(int fd, const std::string& name, std::uint64_t hint, Growing& buf) {
  const std::uint64_t bound = memory_bound();
  std::size_t used = 0;
  std::size_t first = static_cast<std::size_t>(std::min(std::max<std::uint64_t>(hint + 1, kMiB), bound));
  if (!buf.reserve(first)) return FileError::system(name, errno);
  for (;;) {
    if (used == buf.capacity()) {
      if (used >= bound) {
        // Full to the bound: only an end of input now lets it through.
        std::uint8_t probe;
        ssize_t got = ::read(fd, &probe, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return FileError::system(name, errno);
        if (got == 0) return used;
        return FileError::system(name, EFBIG);
      }
      std::size_t grown = static_cast<std::size_t>(std::min<std::uint64_t>(bound, used * std::uint64_t{2}));
      if (!buf.reserve(grown)) return FileError::system(name, errno);
    }
    ssize_t got = ::read(fd, buf.data() + used, std::min<std::size_t>(buf.capacity() - used, 1u << 30));
    if (got < 0) {
      if (errno == EINTR) continue;
      return FileError::system(name, errno);
    }
    if (got == 0) return used;
    used += static_cast<std::size_t>(got);
  }
}

// The metadata is read in chunks of this size, each once.
constexpr std::uint64_t kChunk = 64 * 1024;

}  // namespace

Done Model::take_stream(int fd, std::uint64_t hint) {
  Growing buf;
  auto used = read_to_end(fd, name_, hint, buf);
  if (!used.ok()) return used.error();
  mapped_size_ = buf.capacity();
  size_ = used.value();
  data_ = buf.release();
  return done();
}

Done Model::load_range(std::uint64_t offset, std::uint64_t length) const {
  if (length == 0 || !file_backed_) return done();
  return image_->load(offset, length, [&](std::uint64_t at, std::uint8_t* out, std::size_t n) -> Done {
    while (n != 0) {
      ssize_t got = pread(fd_, out, std::min<std::size_t>(n, 1u << 30), static_cast<off_t>(at));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return FileError::system(name_, errno);
      if (got == 0) return FileError::of(FileError::Kind::Changed, name_);
      out += got;
      n -= static_cast<std::size_t>(got);
      at += static_cast<std::uint64_t>(got);
    }
    return done();
  }, name_);
}

// A regular file with a size gets a metadata image; anything else (a file
// of /proc says it has none) is read.
Done Model::load() {
  if (!S_ISREG(st_.st_mode) || st_.st_size <= 0) return take_stream(fd_, 0);
  // Address space only: pages never loaded are never backed by memory.
  auto image = Image::reserve(static_cast<std::uint64_t>(st_.st_size), name_, kChunk);
  if (!image.ok()) return image.error();
  image_.emplace(std::move(image).value());
  file_backed_ = true;
  size_ = static_cast<std::size_t>(st_.st_size);
  data_ = const_cast<std::uint8_t*>(image_->bytes().data());  // the image's, written only by load_range
  std::optional<FileError> failed;
  const bool loaded = load_metadata(bytes(), [&](std::uint64_t offset, std::uint64_t length) {
    Done d = load_range(offset, length);
    if (!d.ok()) failed = d.error();
    return d.ok();
  });
  if (!loaded) return failed ? *failed : FileError::of(FileError::Kind::Changed, name_);
  return done();
}

namespace {

// Opens what `path` names, resolved once, for reading: a regular file only,
// judged before it is opened for reading (a FIFO would block, a device
// would react).
Outcome<int> open_regular(const std::string& path, struct stat* st) {
  Fd named(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!named) return FileError::system(path, errno);
  if (fstat(named.get(), st) != 0) return FileError::system(path, errno);
  if (S_ISDIR(st->st_mode)) return FileError::system(path, EISDIR);
  if (!S_ISREG(st->st_mode)) return FileError::not_regular(path, kind_of(st->st_mode));
  // Reopened through the descriptor: the same file, whatever the name
  // leads to now; without /proc, by name again and compared.
  const std::string self = "/proc/self/fd/" + std::to_string(named.get());
  int fd = ::open(self.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return FileError::system(path, errno);
  struct stat now {};
  if (fstat(fd, &now) != 0 || now.st_dev != st->st_dev || now.st_ino != st->st_ino) {
    ::close(fd);
    return FileError::of(FileError::Kind::Changed, path);
  }
  return fd;
}

}  // namespace

Outcome<Model> Model::open(const std::string& path, Access access, const std::string& name) {
  Outcome<Model> opened = open_path(path, access);
  if (name.empty()) return opened;
  if (!opened.ok()) {
    FileError e = opened.error();
    e.name = name;
    return e;
  }
  opened.value().name_ = name;
  return opened;
}

mode_t Model::permissions() const { return S_ISREG(st_.st_mode) ? st_.st_mode & 0777 : 0666; }

Outcome<Model> Model::open_path(const std::string& path, Access access) {
  Model m;
  m.name_ = path;
  m.folder_known_ = stat(split_path(path).folder.c_str(), &m.folder_) == 0;
  if (access == Access::Read) {
    m.fd_ = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (m.fd_ < 0) return FileError::system(path, errno);
    if (fstat(m.fd_, &m.st_) != 0) return FileError::system(path, errno);
    if (S_ISDIR(m.st_.st_mode)) return FileError::system(path, EISDIR);
    auto loaded = m.load();
    if (!loaded.ok()) return loaded.error();
    return m;
  }
  if (access == Access::File) {
    auto fd = open_regular(path, &m.st_);
    if (!fd.ok()) return fd.error();
    m.fd_ = fd.value();
    auto loaded = m.load();
    if (!loaded.ok()) return loaded.error();
    return m;
  }

  // Resolve the path once, as the kernel does (its link protections apply),
  // without opening what it names: a FIFO would block, a device would react.
  Fd named(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!named) return FileError::system(path, errno);
  struct stat target {};
  if (fstat(named.get(), &target) != 0) return FileError::system(path, errno);
  if (S_ISDIR(target.st_mode)) return FileError::system(path, EISDIR);
  if (!S_ISREG(target.st_mode)) return FileError::not_regular(path, kind_of(target.st_mode));
  if (access == Access::Patch && target.st_nlink > 1) return FileError::of(FileError::Kind::HardLinked, path);

  // Where the file lives: the path itself, or for a symlink what it points
  // at, read back from the descriptor just opened (or, without /proc,
  // resolved again: the check below catches a link changed meanwhile).
  std::string where = path;
  struct stat link {};
  if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    // Checked after the open above: a link swapped in before it shows here.
    struct stat folder {};
    if (stat(split_path(path).folder.c_str(), &folder) == 0 && foreign_in_shared_folder(link, folder))
      return FileError::system(path, EACCES);
    char buf[PATH_MAX];
    std::string self = "/proc/self/fd/" + std::to_string(named.get());
    ssize_t n = readlink(self.c_str(), buf, sizeof buf);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof buf) {
      where.assign(buf, static_cast<std::size_t>(n));
    } else if (realpath(path.c_str(), buf) != nullptr) {
      where = buf;
    } else {
      return FileError::system(path, errno);
    }
  }
  Place place = split_path(where);
  m.dir_fd_ = open_folder(place.folder);
  if (m.dir_fd_ < 0) return FileError::system(path, errno);
  m.entry_ = std::move(place.entry);

  // The file opened in that folder must be the one resolved above.
  m.fd_ = openat(m.dir_fd_, m.entry_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (m.fd_ < 0 && errno != ENOENT && errno != ELOOP) return FileError::system(path, errno);
  if (m.fd_ < 0 || fstat(m.fd_, &m.st_) != 0 || m.st_.st_dev != target.st_dev ||
      m.st_.st_ino != target.st_ino)
    return FileError::of(FileError::Kind::Changed, path);
  auto loaded = m.load();
  if (!loaded.ok()) return loaded.error();
  return m;
}

Model Model::of_bytes(ByteView bytes, std::string name) {
  Model m;
  m.name_ = std::move(name);
  m.data_ = const_cast<std::uint8_t*>(bytes.data());  // never written: mapped_size_ is 0
  m.size_ = bytes.size();
  return m;
}

Outcome<Model> Model::read_stream(int fd, std::string name) {
  Model m;
  m.name_ = std::move(name);
  struct stat st {};
  std::uint64_t hint = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
  auto taken = m.take_stream(fd, hint);
  if (!taken.ok()) return taken.error();
  return m;
}

Model::Model(Model&& o) noexcept
    : name_(std::move(o.name_)),
      fd_(std::exchange(o.fd_, -1)),
      dir_fd_(std::exchange(o.dir_fd_, -1)),
      entry_(std::move(o.entry_)),
      st_(o.st_),
      file_backed_(o.file_backed_),
      data_(std::exchange(o.data_, nullptr)),
      size_(std::exchange(o.size_, 0)),
      mapped_size_(std::exchange(o.mapped_size_, 0)),
      image_(std::move(o.image_)),
      folder_(o.folder_),
      folder_known_(o.folder_known_) {}

Model::~Model() {
  if (data_ != nullptr && mapped_size_ != 0) munmap(data_, mapped_size_);
  if (fd_ >= 0) ::close(fd_);
  if (dir_fd_ >= 0) ::close(dir_fd_);
}

Done Model::read_at(std::uint64_t offset, std::uint8_t* out, std::size_t n) const {
  if (!in_file()) {
    if (!fits(offset, n, size_)) return FileError::of(FileError::Kind::Changed, name_);
    std::memcpy(out, data_ + offset, n);
    return done();
  }
  while (n != 0) {
    ssize_t got = pread(fd_, out, std::min<std::size_t>(n, 1u << 30), static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return FileError::system(name_, errno);
    if (got == 0) return FileError::of(FileError::Kind::Changed, name_);
    out += got;
    n -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return done();
}

bool Model::is(const struct stat& st) const {
  return S_ISREG(st_.st_mode) && st.st_dev == st_.st_dev && st.st_ino == st_.st_ino;
}

Done Model::check_unchanged() const {
  if (!in_file()) return done();
  struct stat now {};
  if (fstat(fd_, &now) != 0) return FileError::system(name_, errno);
  // The change time too: utime can put a modification time back, nothing
  // puts the change time back.
  if (now.st_size != st_.st_size || now.st_mtim.tv_sec != st_.st_mtim.tv_sec ||
      now.st_mtim.tv_nsec != st_.st_mtim.tv_nsec || now.st_ctim.tv_sec != st_.st_ctim.tv_sec ||
      now.st_ctim.tv_nsec != st_.st_ctim.tv_nsec)
    return FileError::of(FileError::Kind::Changed, name_);
  return done();
}

// ---------------------------------------------------------------------------
// Whole files

Outcome<Bytes> read_whole_stream(int fd, const std::string& name) {
  auto model = Model::read_stream(fd, name);
  if (!model.ok()) return model.error();
  ByteView b = model.value().bytes();
  return Bytes(b.begin(), b.end());
}

std::optional<std::uint64_t> regular_file_size(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

Outcome<Bytes> read_whole_file(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
  if (!fd) return FileError::system(path, errno);
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return FileError::system(path, errno);
  if (S_ISDIR(st.st_mode)) return FileError::system(path, EISDIR);
  return read_whole_stream(fd.get(), path);
}

}  // namespace tarnwick::file
