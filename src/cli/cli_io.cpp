#include "cli/cli_io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarnwick::cli {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
// Views smaller than this are not worth a copy_file_range call.
constexpr std::size_t kCopyMin = 256 * 1024;
// Unit of kernel-side copying; bounds the time between progress updates.
constexpr std::size_t kCopyChunk = 64 * kMiB;
// Unit of copying through the mapping; its pages are dropped after each
// chunk so resident memory stays bounded whatever the model's size.
constexpr std::size_t kWriteChunk = 8 * kMiB;
constexpr std::uint64_t kProgressThreshold = 256 * kMiB;

// The temporary file to remove if a signal ends the process. Written only
// with the cleanup signals blocked; read by the handlers.
char g_temp_path[PATH_MAX];
volatile std::sig_atomic_t g_temp_armed = 0;

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

void on_cleanup_signal(int sig) {
  if (g_temp_armed) unlink(g_temp_path);
  // The handler was installed one-shot: re-raising ends the process with the
  // signal's own status once this handler returns.
  raise(sig);
}

void on_bus_error(int) {
  if (g_temp_armed) unlink(g_temp_path);
  static const char msg[] = "tarnwick: the model file changed while it was being read\n";
  ssize_t ignored = ::write(2, msg, sizeof msg - 1);
  (void)ignored;
  _exit(kIoFailure);
}

class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kCleanupSignals) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsBlocked() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t old_;
};

mode_t creation_mode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

bool contains(ByteView outer, ByteView inner) {
  auto o = reinterpret_cast<std::uintptr_t>(outer.data());
  auto i = reinterpret_cast<std::uintptr_t>(inner.data());
  return !outer.empty() && i >= o && fits(i - o, inner.size(), outer.size());
}

// Follows symlinks so that a rename replaces the file, not the link.
std::string resolved(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string out(real);
  std::free(real);
  return out;
}

Outcome<Bytes> read_stream(int fd, const std::string& name, std::uint64_t size_hint) {
  Bytes out;
  out.reserve(static_cast<std::size_t>(size_hint));
  std::size_t used = 0;
  for (;;) {
    if (out.size() - used < 64 * 1024) out.resize(std::max<std::size_t>(used * 2, used + kMiB));
    ssize_t got = ::read(fd, out.data() + used, out.size() - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      return io_failure(name, errno);
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  out.resize(used);
  out.shrink_to_fit();
  return out;
}

std::string human_size(std::uint64_t n) {
  char buf[32];
  if (n >= 1024 * kMiB)
    std::snprintf(buf, sizeof buf, "%.2f GiB", static_cast<double>(n) / (1024.0 * kMiB));
  else
    std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(n) / kMiB);
  return buf;
}

std::string clock_time(double seconds) {
  auto s = static_cast<long long>(seconds + 0.5);
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
  return buf;
}

}  // namespace

// One line on a terminal's stderr, redrawn in place: bytes done, rate, time
// left. Silent for small copies and when stderr is not a terminal.
class Progress {
 public:
  Progress(std::uint64_t total, bool wanted)
      : total_(total),
        enabled_(wanted && total > kProgressThreshold && isatty(STDERR_FILENO)),
        start_(Clock::now()),
        last_(start_) {}
  ~Progress() {
    if (enabled_ && drawn_) std::fputs("\r\033[K", stderr);
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void advance(std::uint64_t n) {
    done_ += n;
    if (!enabled_) return;
    auto now = Clock::now();
    if (now - last_ < std::chrono::milliseconds(200) && done_ != total_) return;
    last_ = now;
    draw(std::chrono::duration<double>(now - start_).count());
  }

 private:
  using Clock = std::chrono::steady_clock;

  void draw(double elapsed) {
    double rate = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0;
    int percent = static_cast<int>(100.0 * static_cast<double>(done_) / static_cast<double>(total_));
    std::string left = rate > 0 ? clock_time(static_cast<double>(total_ - done_) / rate) : "?";
    std::fprintf(stderr, "\r%s / %s  %3d%%  %s/s  %s left\033[K", human_size(done_).c_str(),
                 human_size(total_).c_str(), percent,
                 human_size(static_cast<std::uint64_t>(rate)).c_str(), left.c_str());
    std::fflush(stderr);
    drawn_ = true;
  }

  std::uint64_t total_;
  std::uint64_t done_ = 0;
  bool enabled_;
  bool drawn_ = false;
  Clock::time_point start_;
  Clock::time_point last_;
};

Failure io_failure(const std::string& name, int err) {
  return {kIoFailure, name, std::strerror(err)};
}

void install_signal_handlers() {
  struct sigaction sa {};
  sigemptyset(&sa.sa_mask);
  sa.sa_handler = on_cleanup_signal;
  sa.sa_flags = SA_RESETHAND;
  for (int sig : kCleanupSignals) sigaction(sig, &sa, nullptr);
  sa.sa_handler = on_bus_error;
  sa.sa_flags = 0;
  sigaction(SIGBUS, &sa, nullptr);
  // A closed pipe on stdout is reported as a write error like any other.
  std::signal(SIGPIPE, SIG_IGN);
}

// ---------------------------------------------------------------------------
// Model

Outcome<Model> Model::open(const std::string& path) {
  Model m;
  m.path_ = path;
  if (path == "-") {
    m.name_ = kStdinName;
    if (fstat(STDIN_FILENO, &m.st_) != 0) return io_failure(m.name_, errno);
    auto bytes = read_stream(STDIN_FILENO, m.name_, 0);
    if (!bytes.ok()) return bytes.failure();
    m.memory_ = std::move(bytes.value());
    m.data_ = m.memory_.data();
    m.size_ = m.memory_.size();
    return m;
  }
  m.name_ = path;
  m.fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (m.fd_ < 0) return io_failure(path, errno);
  if (fstat(m.fd_, &m.st_) != 0) return io_failure(path, errno);
  if (S_ISDIR(m.st_.st_mode)) return io_failure(path, EISDIR);
  if (S_ISREG(m.st_.st_mode) && m.st_.st_size > 0) {
    auto size = static_cast<std::size_t>(m.st_.st_size);
    void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, m.fd_, 0);
    if (p != MAP_FAILED) {
      madvise(p, size, MADV_SEQUENTIAL);
      m.mapped_ = true;
      m.data_ = static_cast<const std::uint8_t*>(p);
      m.size_ = size;
      return m;
    }
    // Some file systems cannot map; fall through and read.
  }
  auto hint = S_ISREG(m.st_.st_mode) ? static_cast<std::uint64_t>(m.st_.st_size) : 0;
  auto bytes = read_stream(m.fd_, path, hint);
  if (!bytes.ok()) return bytes.failure();
  m.memory_ = std::move(bytes.value());
  m.data_ = m.memory_.data();
  m.size_ = m.memory_.size();
  return m;
}

Model::Model(Model&& o) noexcept
    : path_(std::move(o.path_)),
      name_(std::move(o.name_)),
      fd_(std::exchange(o.fd_, -1)),
      st_(o.st_),
      mapped_(std::exchange(o.mapped_, false)),
      data_(o.data_),
      size_(o.size_),
      memory_(std::move(o.memory_)) {
  // A moved vector keeps its buffer, so data_ stays valid either way.
}

Model::~Model() {
  if (mapped_) munmap(const_cast<std::uint8_t*>(data_), size_);
  if (fd_ >= 0) ::close(fd_);
}

bool Model::is(const struct stat& st) const {
  return !from_stdin() && st.st_dev == st_.st_dev && st.st_ino == st_.st_ino;
}

Outcome<Bytes> read_file(const std::string& path) {
  if (path == "-") return read_stream(STDIN_FILENO, kStdinName, 0);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return io_failure(path, errno);
  struct stat st {};
  auto result = fstat(fd, &st) != 0  ? Outcome<Bytes>(io_failure(path, errno))
                : S_ISDIR(st.st_mode) ? Outcome<Bytes>(io_failure(path, EISDIR))
                                      : read_stream(fd, path, S_ISREG(st.st_mode) ? st.st_size : 0);
  ::close(fd);
  return result;
}

// ---------------------------------------------------------------------------
// Sink

namespace {

struct TempFile {
  int fd;
  std::string path;
};

// Creates the temporary file beside `final_path`, registered for removal
// should a signal end the process before it is renamed.
Outcome<TempFile> create_temp(const std::string& final_path, const std::string& name) {
  auto slash = final_path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : final_path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? final_path : final_path.substr(slash + 1);
  if (slash == std::string::npos) dir += '/';
  std::string templ = dir + "." + base + ".tarnwick-XXXXXX";
  if (templ.size() >= sizeof g_temp_path) return io_failure(name, ENAMETOOLONG);

  SignalsBlocked blocked;
  std::memcpy(g_temp_path, templ.c_str(), templ.size() + 1);
  int fd = mkostemp(g_temp_path, O_CLOEXEC);
  if (fd < 0) return io_failure(name, errno);
  g_temp_armed = 1;
  return TempFile{fd, g_temp_path};
}

}  // namespace

Outcome<Sink> Sink::to_stdout() {
  Sink s;
  s.fd_ = STDOUT_FILENO;
  s.name_ = "<stdout>";
  return s;
}

Outcome<Sink> Sink::to_file(const std::string& path) {
  Sink s;
  s.name_ = path;
  struct stat st {};
  bool exists = stat(path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return io_failure(path, EISDIR);
  if (exists && !S_ISREG(st.st_mode)) {
    // A device or a pipe: there is nothing to rename over.
    s.fd_ = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (s.fd_ < 0) return io_failure(path, errno);
    return s;
  }
  s.final_path_ = resolved(path);
  auto temp = create_temp(s.final_path_, path);
  if (!temp.ok()) return temp.failure();
  s.fd_ = temp.value().fd;
  s.temp_path_ = temp.value().path;
  mode_t mode = exists ? (st.st_mode & 07777) : creation_mode();
  if (fchmod(s.fd_, mode) != 0) return io_failure(path, errno);
  return s;
}

Outcome<Sink> Sink::replacing(const Model& model) {
  Sink s;
  s.name_ = model.name();
  s.sync_ = true;
  s.final_path_ = resolved(model.path());
  auto temp = create_temp(s.final_path_, model.name());
  if (!temp.ok()) return temp.failure();
  s.fd_ = temp.value().fd;
  s.temp_path_ = temp.value().path;
  const struct stat& st = model.status();
  // Ownership first: changing it may clear set-id bits, which fchmod restores.
  // Only root may give a file away; anyone else keeps their own ownership.
  if (fchown(s.fd_, st.st_uid, st.st_gid) != 0 && errno != EPERM)
    return io_failure(model.name(), errno);
  if (fchmod(s.fd_, st.st_mode & 07777) != 0) return io_failure(model.name(), errno);
  return s;
}

Sink::Sink(Sink&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)),
      name_(std::move(o.name_)),
      final_path_(std::move(o.final_path_)),
      temp_path_(std::move(o.temp_path_)),
      sync_(o.sync_),
      copy_works_(o.copy_works_),
      committed_(o.committed_) {
  o.temp_path_.clear();
}

Sink::~Sink() {
  if (fd_ > STDERR_FILENO) ::close(fd_);
  if (!temp_path_.empty() && !committed_) {
    SignalsBlocked blocked;
    unlink(temp_path_.c_str());
    g_temp_armed = 0;
  }
}

Done Sink::write_all(const std::uint8_t* p, std::size_t n) {
  while (n != 0) {
    ssize_t put = ::write(fd_, p, std::min<std::size_t>(n, 1u << 30));
    if (put < 0) {
      if (errno == EINTR) continue;
      return io_failure(name_, errno);
    }
    p += put;
    n -= static_cast<std::size_t>(put);
  }
  return done();
}

Done Sink::write(ByteView bytes) { return write_all(bytes.data(), bytes.size()); }

Done Sink::copy_range(const Model& source, ByteView range, Progress& progress) {
  const std::uint8_t* base = source.bytes().data();
  const std::uint8_t* p = range.data();
  std::size_t left = range.size();
  while (left != 0) {
    if (copy_works_) {
      loff_t offset = p - base;
      ssize_t got = copy_file_range(source.fd(), &offset, fd_, nullptr,
                                    std::min(left, kCopyChunk), 0);
      if (got > 0) {
        p += got;
        left -= static_cast<std::size_t>(got);
        progress.advance(static_cast<std::uint64_t>(got));
        continue;
      }
      if (got == 0)
        return Failure{kIoFailure, source.name(), "the file changed while it was being read"};
      if (errno == EINTR) continue;
      // Not supported between these files (another file system, a pipe, an
      // appending descriptor, an old kernel): copy through the mapping.
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
          errno != EBADF)
        return io_failure(name_, errno);
      copy_works_ = false;
    }
    std::size_t n = std::min(left, kWriteChunk);
    auto done_so_far = write_all(p, n);
    if (!done_so_far.ok()) return done_so_far;
    // Drop the pages just copied from our mapping; they stay in the page cache.
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    auto start = reinterpret_cast<std::uintptr_t>(p) & ~(page - 1);
    auto end = reinterpret_cast<std::uintptr_t>(p + n) & ~(page - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
    p += n;
    left -= n;
    progress.advance(n);
  }
  return done();
}

Done Sink::write(const Pieces& pieces, const Model* source, bool show_progress) {
  Progress progress(pieces.size(), show_progress);
  Done result = done();
  pieces.for_each([&](ByteView v) {
    if (!result.ok()) return;
    if (source != nullptr && source->fd() >= 0 && v.size() >= kCopyMin &&
        contains(source->bytes(), v)) {
      result = copy_range(*source, v, progress);
      return;
    }
    for (std::size_t at = 0; at < v.size() && result.ok(); at += kWriteChunk) {
      std::size_t n = std::min(v.size() - at, kWriteChunk);
      result = write_all(v.data() + at, n);
      progress.advance(n);
    }
  });
  return result;
}

Done Sink::commit() {
  if (temp_path_.empty()) {
    if (fd_ > STDERR_FILENO) {
      int fd = std::exchange(fd_, -1);
      if (::close(fd) != 0) return io_failure(name_, errno);
    }
    committed_ = true;
    return done();
  }
  if (sync_ && fsync(fd_) != 0) return io_failure(name_, errno);
  // close reports deferred write errors on some file systems (NFS).
  if (::close(std::exchange(fd_, -1)) != 0) return io_failure(name_, errno);
  if (rename(temp_path_.c_str(), final_path_.c_str()) != 0) return io_failure(name_, errno);
  {
    SignalsBlocked blocked;
    g_temp_armed = 0;
  }
  committed_ = true;
  if (sync_) {
    // Make the rename itself durable.
    auto slash = final_path_.rfind('/');
    std::string dir = slash == std::string::npos ? "." : final_path_.substr(0, slash + 1);
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      fsync(dfd);
      ::close(dfd);
    }
  }
  return done();
}

}  // namespace tarnwick::cli
