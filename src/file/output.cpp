#include "file/output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <thread>
#include <vector>
#include <condition_variable>
#include <mutex>

#include "file/folder.h"

namespace tarnwick::file {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

// ---------------------------------------------------------------------------
// Named temporaries pending removal. A fixed table of slots claimed with an
// atomic, so that a signal handler may walk it at any moment: it only reads
// slots marked armed, which are complete. A slot released and refilled by
// another thread while a handler reads it can at worst make the handler
// unlink a name of the same random temporary form that does not exist.

// ".tarnwick-" and eight random characters: the same length whatever the
// destination's name, so any legal name can be rewritten.
constexpr char kTempPrefix[] = ".tarnwick-";
constexpr std::size_t kTempLength = sizeof kTempPrefix - 1 + 8;

enum SlotState : int { kFree, kFilling, kArmed };
struct Slot {
  std::atomic<int> state{kFree};
  int dir_fd = -1;
  char name[kTempLength + 1] = {};
};
static_assert(std::atomic<int>::is_always_lock_free, "used from signal handlers");
Slot g_pending[64];

int arm(int dir_fd, const char* name) {
  for (std::size_t i = 0; i < std::size(g_pending); ++i) {
    Slot& s = g_pending[i];
    int expected = kFree;
    if (!s.state.compare_exchange_strong(expected, kFilling, std::memory_order_acquire)) continue;
    s.dir_fd = dir_fd;
    std::memcpy(s.name, name, kTempLength + 1);
    s.state.store(kArmed, std::memory_order_release);
    return static_cast<int>(i);
  }
  return -1;
}

void disarm(int slot) {
  if (slot >= 0) g_pending[slot].state.store(kFree, std::memory_order_release);
}

void temp_name(char (&out)[kTempLength + 1]) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uint8_t r[8];
  if (getrandom(r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
    // No entropy yet (early boot): names need only differ, and O_EXCL
    // retries on a clash.
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t x = static_cast<std::uint64_t>(
                          std::chrono::steady_clock::now().time_since_epoch().count()) ^
                      (static_cast<std::uint64_t>(getpid()) << 40) ^ counter.fetch_add(0x9E3779B97F4A7C15u);
    std::memcpy(r, &x, sizeof r);
  }
  std::memcpy(out, kTempPrefix, sizeof kTempPrefix - 1);
  for (std::size_t i = 0; i < sizeof r; ++i) out[sizeof kTempPrefix - 1 + i] = kAlphabet[r[i] % 62];
  out[kTempLength] = '\0';
}

// Blocks every signal on this thread: a handler on it could otherwise run
// between a temporary's creation and its entry in the table.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old_);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t old_;
};

// A name for `fd` that linkat can follow: a file made with O_TMPFILE has no
// other (AT_EMPTY_PATH would need CAP_DAC_READ_SEARCH).
std::string proc_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

bool contains(ByteView outer, ByteView inner) {
  auto o = reinterpret_cast<std::uintptr_t>(outer.data());
  auto i = reinterpret_cast<std::uintptr_t>(inner.data());
  return !outer.empty() && i >= o && fits(i - o, inner.size(), outer.size());
}

// Gives the new file `old`'s owner and group where permitted, then its
// permission bits, never the set-id bits: a file we write is never one that
// runs with another's rights (a hard link to a set-id program named as the
// output must not become a set-id program holding our bytes). The sticky bit
// only if the owner and group came out the same. Sets *dropped when `old`
// had set-id bits.
Done take_identity(int fd, const struct stat& old, const std::string& name, bool* dropped) {
  struct stat now {};
  if (fstat(fd, &now) != 0) return FileError::system(name, errno);
  if (now.st_uid != old.st_uid || now.st_gid != old.st_gid) {
    // Only root may give a file away; anyone may pick one of their groups.
    if (fchown(fd, old.st_uid, old.st_gid) != 0) {
      if (errno != EPERM) return FileError::system(name, errno);
      if (fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0 && errno != EPERM)
        return FileError::system(name, errno);
    }
    if (fstat(fd, &now) != 0) return FileError::system(name, errno);
  }
  mode_t mode = old.st_mode & 01777;
  if (now.st_uid != old.st_uid || now.st_gid != old.st_gid) mode &= 0777;
  *dropped = (old.st_mode & (S_ISUID | S_ISGID)) != 0;
  if (fchmod(fd, mode) != 0) return FileError::system(name, errno);
  return done();
}

// The replaced file's extended attributes (POSIX ACLs, capabilities are
// not among them: a capability is a right, like a set-id bit, and is not
// carried over), as cp -a keeps them. An attribute the new file's file
// system or our rights do not allow is left behind, as cp -a does with a
// warning; the model is no less correct without it.
Done copy_xattrs(int from, int to, const std::string& name) {
  std::vector<char> names(1024);
  ssize_t n;
  for (;;) {
    n = flistxattr(from, names.data(), names.size());
    if (n >= 0) break;
    if (errno == ENOTSUP) return done();
    if (errno != ERANGE) return FileError::system(name, errno);
    ssize_t need = flistxattr(from, nullptr, 0);
    if (need < 0) return FileError::system(name, errno);
    names.resize(static_cast<std::size_t>(need) + 1);
  }
  std::vector<char> value;
  for (ssize_t at = 0; at < n;) {
    const char* key = names.data() + at;
    at += static_cast<ssize_t>(std::strlen(key)) + 1;
    if (std::strcmp(key, "security.capability") == 0) continue;
    ssize_t size = fgetxattr(from, key, nullptr, 0);
    if (size < 0) continue;
    value.resize(static_cast<std::size_t>(size));
    size = fgetxattr(from, key, value.data(), value.size());
    if (size < 0) continue;
    if (fsetxattr(to, key, value.data(), static_cast<std::size_t>(size), 0) != 0 && errno != ENOTSUP &&
        errno != EPERM && errno != EACCES)
      return FileError::system(name, errno);
  }
  return done();
}

}  // namespace

void remove_pending_temporaries() noexcept {
  for (Slot& s : g_pending)
    if (s.state.load(std::memory_order_acquire) == kArmed) unlinkat(s.dir_fd, s.name, 0);
}

// ---------------------------------------------------------------------------
// Opening

namespace {

// The new file in `dir_fd`: unnamed where the file system allows it and
// /proc can name it for linkat, else under a temporary name entered in the
// cleanup table. New files start as 0600 unless `mode` says otherwise, and
// are open for reading too, so that what was written can be hashed back.
struct NewFile {
  Fd fd;
  bool unnamed = false;
  std::string temp;
  int slot = -1;
};

Outcome<NewFile> new_file(int dir_fd, mode_t mode, const std::string& name) {
  NewFile f;
  f.fd.reset(openat(dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
  if (f.fd) {
    struct stat mine {}, seen {};
    if (fstat(f.fd.get(), &mine) == 0 && stat(proc_path(f.fd.get()).c_str(), &seen) == 0 &&
        mine.st_ino == seen.st_ino && mine.st_dev == seen.st_dev) {
      f.unnamed = true;
      return f;
    }
    f.fd.reset();
  } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    return FileError::system(name, errno);
  }
  for (int tries = 0; tries < 100; ++tries) {
    char temp[kTempLength + 1];
    temp_name(temp);
    SignalsHeld held;
    f.fd.reset(openat(dir_fd, temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!f.fd) {
      if (errno == EEXIST) continue;
      return FileError::system(name, errno);
    }
    f.slot = arm(dir_fd, temp);
    if (f.slot < 0) {
      unlinkat(dir_fd, temp, 0);
      return FileError::system(name, EMFILE);
    }
    f.temp = temp;
    return f;
  }
  return FileError::system(name, EEXIST);
}

}  // namespace

Outcome<Output> Output::stream(int fd, std::string name, const Model* model) {
  struct stat st {};
  if (model != nullptr && fstat(fd, &st) == 0 && model->is(st))
    return FileError::of(FileError::Kind::SameFile, name);
  Output o;
  o.fd_ = fd;
  o.name_ = std::move(name);
  const off_t at = lseek(fd, 0, SEEK_CUR);
  o.pos_ = at > 0 ? static_cast<std::uint64_t>(at) : 0;
  return o;
}

Outcome<Output> Output::create(const std::string& path, const Model* model, std::optional<mode_t> fresh) {
  Output o;
  o.name_ = path;
  Place place = split_path(path);
  if (place.entry.empty() || place.entry == "." || place.entry == "..") {
    // Names a folder, if anything.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return FileError::system(path, errno);
    return FileError::system(path, S_ISDIR(st.st_mode) ? EISDIR : ENOTDIR);
  }
  o.dir_fd_ = open_folder(place.folder);
  if (o.dir_fd_ < 0) return FileError::system(path, errno);
  o.entry_ = std::move(place.entry);
  const char* entry = o.entry_.c_str();

  struct stat target {};  // what the name leads to
  bool exists = fstatat(o.dir_fd_, entry, &target, 0) == 0;
  if (!exists && errno != ENOENT && errno != ELOOP) return FileError::system(path, errno);
  if (exists && model != nullptr && model->is(target))
    return FileError::of(FileError::Kind::SameFile, path);
  if (exists && S_ISDIR(target.st_mode)) return FileError::system(path, EISDIR);

  o.replaces_ = fstatat(o.dir_fd_, entry, &o.old_, AT_SYMLINK_NOFOLLOW) == 0;
  if (!o.replaces_ && errno != ENOENT) return FileError::system(path, errno);
  if (o.replaces_) {
    struct stat folder {};
    if (fstat(o.dir_fd_, &folder) != 0) return FileError::system(path, errno);
    if (foreign_in_shared_folder(o.old_, folder)) return FileError::system(path, EACCES);
  }

  if (fresh && exists && !S_ISREG(target.st_mode)) return FileError::not_regular(path, kind_of(target.st_mode));
  if (exists && S_ISREG(target.st_mode) && o.replaces_ && S_ISLNK(o.old_.st_mode)) {
    // /dev/stdout, /dev/fd/1 and the like name the process's own stream:
    // written as that stream, not replaced.
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
      struct stat st {};
      if (fstat(fd, &st) == 0 && st.st_dev == target.st_dev && st.st_ino == target.st_ino)
        return fresh ? FileError::not_regular(path, "the standard output or error") : stream(fd, path, model);
    }
  }
  if (exists && !S_ISREG(target.st_mode)) {
    // A device, FIFO or socket (or a link to one) is written to, not replaced.
    Fd fd(openat(o.dir_fd_, entry, O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (!fd) return FileError::system(path, errno);
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return FileError::system(path, errno);
    if (S_ISREG(st.st_mode)) return FileError::of(FileError::Kind::Replaced, path);
    ::close(std::exchange(o.dir_fd_, -1));
    o.fd_ = fd.release();
    o.owns_fd_ = true;
    return o;
  }

  // As cp: replacing a file needs the right to write it, not only the folder.
  const bool replaces_file = o.replaces_ && S_ISREG(o.old_.st_mode);
  if (replaces_file && faccessat(o.dir_fd_, entry, W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
    return FileError::system(path, errno);
  // The kernel takes the umask off a new file's bits; one that replaces a
  // file stays private until it takes that file's mode at commit. A model
  // readable by its owner alone never gets a copy others can read.
  o.keep_identity_ = replaces_file && !fresh;
  const mode_t mode = fresh ? *fresh & 0777 : model != nullptr ? model->permissions() : 0666;
  if (auto opened = o.open_new_file(o.keep_identity_ ? 0600 : mode); !opened.ok()) return opened.error();
  return o;
}

Outcome<Output> Output::replacing(const Model& model) {
  if (model.dir_fd_ < 0) return FileError::of(FileError::Kind::NotRegular, model.name());
  Output o;
  o.name_ = model.name();
  o.dir_fd_ = fcntl(model.dir_fd_, F_DUPFD_CLOEXEC, 3);
  if (o.dir_fd_ < 0) return FileError::system(o.name_, errno);
  o.entry_ = model.entry_;
  o.replaces_ = true;
  o.old_ = model.st_;
  o.keep_identity_ = true;
  o.xattr_from_ = fcntl(model.fd_, F_DUPFD_CLOEXEC, 3);
  if (o.xattr_from_ < 0) return FileError::system(o.name_, errno);
  if (auto opened = o.open_new_file(0600); !opened.ok()) return opened.error();
  return o;
}

Done Output::open_new_file(mode_t mode) {
  auto file = new_file(dir_fd_, mode, name_);
  if (!file.ok()) return file.error();
  fd_ = file.value().fd.release();
  owns_fd_ = true;
  unnamed_ = file.value().unnamed;
  temp_ = std::move(file.value().temp);
  slot_ = file.value().slot;
  struct stat st {};
  if (fstat(fd_, &st) == 0 && st.st_blksize > 0) {
    // A stripe width need not be a power of two (XFS mounted with largeio
    // reports 3 × 64 KiB), and a rewrite pads only for one: its largest
    // power-of-two factor still holds every file-system block whole.
    const auto size = static_cast<std::uint64_t>(st.st_blksize);
    block_ = std::max<std::uint64_t>(block_, size & (~size + 1));
  }
  return done();
}

Output::Output(Output&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)),
      owns_fd_(std::exchange(o.owns_fd_, false)),
      name_(std::move(o.name_)),
      dir_fd_(std::exchange(o.dir_fd_, -1)),
      entry_(std::move(o.entry_)),
      unnamed_(o.unnamed_),
      temp_(std::move(o.temp_)),
      slot_(std::exchange(o.slot_, -1)),
      replaces_(o.replaces_),
      old_(o.old_),
      keep_identity_(o.keep_identity_),
      copy_works_(o.copy_works_),
      committed_(o.committed_),
      dropped_set_id_(o.dropped_set_id_),
      pos_(o.pos_),
      block_(o.block_),
      xattr_from_(std::exchange(o.xattr_from_, -1)) {
  o.temp_.clear();
}

Output::~Output() {
  if (!committed_ && !temp_.empty()) unlinkat(dir_fd_, temp_.c_str(), 0);
  disarm(slot_);
  if (owns_fd_ && fd_ >= 0) ::close(fd_);
  if (dir_fd_ >= 0) ::close(dir_fd_);
  if (xattr_from_ >= 0) ::close(xattr_from_);
}

// ---------------------------------------------------------------------------
// Writing

namespace {

// Unit of kernel-side copying and of writes; bounds the time between checks
// for a stop.
constexpr std::size_t kCopyChunk = 16 * kMiB;
// Unit of copying through memory, and of reading back for a digest: small
// enough to stay in the cache between the read and the digest or write.
constexpr std::size_t kStage = 256 * 1024;

}  // namespace

void Output::advanced() {
  if (follower_ != nullptr) follower_->advance(pos_);
}

Done Output::write_all(const std::uint8_t* p, std::size_t n) {
  if (tee_ != nullptr) {
    if (Status hashed = tee_->add(ByteView(p, n)); !hashed.ok())
      return FileError::of_model(std::move(hashed).error(), name_);
  }
  while (n != 0) {
    ssize_t put = ::write(fd_, p, std::min<std::size_t>(n, 1u << 30));
    if (put < 0) {
      if (errno == EINTR) continue;
      return FileError::system(name_, errno);
    }
    p += put;
    n -= static_cast<std::size_t>(put);
    pos_ += static_cast<std::uint64_t>(put);
  }
  advanced();
  return done();
}

Done Output::write(ByteView bytes) { return write_all(bytes.data(), bytes.size()); }

Done Output::write_at(std::uint64_t offset, ByteView bytes) {
  if (!is_new_file() || committed_) return FileError::of(FileError::Kind::NotRegular, name_);
  for (std::size_t done_here = 0; done_here < bytes.size();) {
    ssize_t put = pwrite(fd_, bytes.data() + done_here, bytes.size() - done_here,
                         static_cast<off_t>(offset + done_here));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return FileError::system(name_, put < 0 ? errno : EIO);
    done_here += static_cast<std::size_t>(put);
  }
  return done();
}

Outcome<Model> Output::read_back() const {
  if (!is_new_file() || committed_) return FileError::of(FileError::Kind::NotRegular, name_);
  Model m;
  m.name_ = name_;
  m.fd_ = fcntl(fd_, F_DUPFD_CLOEXEC, 3);
  if (m.fd_ < 0 || fstat(m.fd_, &m.st_) != 0) return FileError::system(name_, errno);
  if (auto loaded = m.load(); !loaded.ok()) return loaded.error();
  return m;
}

Done Output::copy_range(const Model& model, std::uint64_t offset, std::uint64_t length, std::uint8_t* stage,
                        const std::function<bool()>& tick) {
  // The kernel copies only what no one must see pass: a stream's digest is
  // of the bytes written, so they come through here.
  bool by_kernel = copy_works_ && tee_ == nullptr && model.in_file();
  // A copy that starts mid-block shares nothing: the first call ends on a
  // block edge of the destination, and every later one starts on one.
  std::uint64_t first = (block_ - pos_ % block_) % block_;
  while (length != 0) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, first != 0 ? first : kCopyChunk));
    first = 0;
    if (by_kernel) {
      loff_t from = static_cast<loff_t>(offset);
      ssize_t got = copy_file_range(model.fd_, &from, fd_, nullptr, n, 0);
      if (got == 0) return FileError::of(FileError::Kind::Changed, model.name());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        // Not between these files (another file system on an old kernel, a
        // pipe, an appending descriptor): copy through memory.
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != EBADF)
          return FileError::system(name_, errno);
        copy_works_ = by_kernel = false;
        continue;
      }
      n = static_cast<std::size_t>(got);
      pos_ += n;
      advanced();
    } else {
      for (std::size_t done_here = 0; done_here < n;) {
        const std::size_t part = std::min(n - done_here, kStage);
        if (auto read = model.read_at(offset + done_here, stage, part); !read.ok()) return read;
        if (auto put = write_all(stage, part); !put.ok()) return put;
        done_here += part;
      }
    }
    offset += n;
    length -= n;
    // A new file is synced before it takes its name: start writing what is
    // copied now, so the disk works while the copy goes on and the final
    // fsync waits only for the last chunk. Advisory: errors show at fsync.
    if (dir_fd_ >= 0) sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    if (!tick()) return FileError::of(FileError::Kind::Aborted, name_);
  }
  return done();
}

bool ProgressTicker::tick(std::uint64_t done) {
  if (!progress_) return true;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < kProgressInterval) return true;
  last_ = now;
  return progress_(done, total_);
}

Done write_pieces(const Pieces& pieces, const Model& model, Output& out, const ProgressFn& progress) {
  const std::uint64_t start = out.pos_;
  ProgressTicker ticker(progress, pieces.size());
  std::function<bool()> tick = [&] { return ticker.tick(out.pos_ - start); };

  std::unique_ptr<std::uint8_t[]> stage(new std::uint8_t[kStage]);
  Done result = done();
  ByteView source = model.bytes();
  pieces.for_each([&](ByteView v) {
    if (!result.ok()) return;
    // Views of the model are copied from its file: for a file, only its
    // metadata is in memory.
    if (contains(source, v) && (model.in_file() || v.size() >= kStage)) {
      result = out.copy_range(model, static_cast<std::uint64_t>(v.data() - source.data()), v.size(),
                              stage.get(), tick);
      return;
    }
    for (std::size_t at = 0; at < v.size() && result.ok(); at += kCopyChunk) {
      result = out.write_all(v.data() + at, std::min(v.size() - at, kCopyChunk));
      if (result.ok() && !tick()) result = FileError::of(FileError::Kind::Aborted, out.name());
    }
  });
  if (!result.ok()) return result;
  auto unchanged = model.check_unchanged();
  if (!unchanged.ok()) return unchanged;
  if (!ticker.end()) return FileError::of(FileError::Kind::Aborted, out.name());
  return done();
}

// ---------------------------------------------------------------------------
// Digests of what is written

struct WrittenDigest::Shared {
  std::mutex mutex;
  std::condition_variable moved;
  std::uint64_t written = 0;  // guarded by mutex
  bool stop = false;          // guarded by mutex
  std::optional<digest::DataHash> hash;
  std::optional<FileError> failed;
  std::uint64_t hashed = 0;
  std::jthread thread;
};

Outcome<std::unique_ptr<WrittenDigest>> WrittenDigest::attach(Output& out, digest::Algorithm algorithm,
                                                              std::span<const digest::Exclusion> exclusions,
                                                              std::uint64_t total) {
  Result<digest::DataHash> hash = digest::DataHash::start(algorithm, exclusions, total);
  if (!hash.ok()) return FileError::of_model(std::move(hash).error(), out.name());
  std::unique_ptr<WrittenDigest> d(new WrittenDigest(out, std::move(hash).value(), total));
  if (out.is_new_file()) {
    out.follower_ = d.get();
    d->shared_->thread = std::jthread([p = d.get()] { p->run(); });
  } else {
    out.tee_ = &*d->shared_->hash;
  }
  return d;
}

WrittenDigest::WrittenDigest(Output& out, digest::DataHash hash, std::uint64_t total)
    : out_(out), shared_(std::make_unique<Shared>()), total_(total) {
  shared_->hash.emplace(std::move(hash));
}

WrittenDigest::~WrittenDigest() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stop = true;
  }
  shared_->moved.notify_all();
  if (shared_->thread.joinable()) shared_->thread.join();
  out_.follower_ = nullptr;
  out_.tee_ = nullptr;
}

void WrittenDigest::advance(std::uint64_t written) {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->written = written;
  }
  shared_->moved.notify_one();
}

// Reads the new file back behind the writer, a cache-sized part at a time,
// while those pages are still in memory.
void WrittenDigest::run() noexcept {
  Shared& s = *shared_;
  try {
    std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[kStage]);
    while (s.hashed < total_) {
      std::uint64_t until;
      {
        std::unique_lock lock(s.mutex);
        s.moved.wait(lock, [&] { return s.stop || s.written > s.hashed; });
        if (s.stop && s.written <= s.hashed) return;
        until = s.written;
      }
      while (s.hashed < until) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(until - s.hashed, kStage));
        ssize_t got = pread(out_.fd_, buf.get(), n, static_cast<off_t>(s.hashed));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
          s.failed = got < 0 ? FileError::system(out_.name(), errno) : FileError::system(out_.name(), EIO);
          return;
        }
        if (Status added = s.hash->add(ByteView(buf.get(), static_cast<std::size_t>(got))); !added.ok()) {
          s.failed = FileError::of_model(std::move(added).error(), out_.name());
          return;
        }
        s.hashed += static_cast<std::uint64_t>(got);
        std::lock_guard lock(s.mutex);
        if (s.stop) return;
      }
    }
  } catch (const std::bad_alloc&) {
    s.failed = FileError::system(out_.name(), ENOMEM);
  } catch (...) {
    s.failed = FileError::system(out_.name(), EIO);
  }
}

Outcome<Bytes> WrittenDigest::finish() {
  Shared& s = *shared_;
  if (s.thread.joinable()) s.thread.join();
  if (s.failed) return *s.failed;
  Result<Bytes> digest = s.hash->finish();
  if (!digest.ok()) return FileError::of_model(std::move(digest).error(), out_.name());
  return std::move(digest).value();
}

// ---------------------------------------------------------------------------
// Committing

bool Output::in_folder(const struct stat& folder) const {
  struct stat here {};
  return dir_fd_ >= 0 && fstat(dir_fd_, &here) == 0 && here.st_dev == folder.st_dev && here.st_ino == folder.st_ino;
}

bool Output::entry_replaced() const {
  if (dir_fd_ < 0 || !replaces_) return false;
  struct stat now {};
  if (fstatat(dir_fd_, entry_.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  return now.st_dev != old_.st_dev || now.st_ino != old_.st_ino;
}

Done Output::commit() {
  if (committed_) return done();
  if (dir_fd_ < 0) {
    // A stream: a device's close may report a deferred error; standard
    // output is the caller's to close.
    committed_ = true;
    if (owns_fd_ && ::close(std::exchange(fd_, -1)) != 0) return FileError::system(name_, errno);
    return done();
  }
  // Complete on disk before it takes the destination's name.
  if (fsync(fd_) != 0) return FileError::system(name_, errno);
  if (keep_identity_) {
    auto taken = take_identity(fd_, old_, name_, &dropped_set_id_);
    if (!taken.ok()) return taken;
  }
  if (xattr_from_ >= 0) {
    auto kept = copy_xattrs(xattr_from_, fd_, name_);
    if (!kept.ok()) return kept;
  }
  // The destination must still be what it was when the output was opened:
  // for --in-place the model itself, never a file swapped in since.
  struct stat now {};
  bool present = fstatat(dir_fd_, entry_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
  if (!present && errno != ENOENT) return FileError::system(name_, errno);
  if (replaces_ && (!present || now.st_dev != old_.st_dev || now.st_ino != old_.st_ino))
    return FileError::of(FileError::Kind::Replaced, name_);
  if (!replaces_ && present) return FileError::system(name_, EEXIST);

  if (unnamed_) {
    std::string self = proc_path(fd_);
    if (!replaces_) {
      // linkat never replaces: a name created meanwhile is not overwritten.
      if (linkat(AT_FDCWD, self.c_str(), dir_fd_, entry_.c_str(), AT_SYMLINK_FOLLOW) != 0)
        return FileError::system(name_, errno);
    } else {
      // A name for the rename, pending removal until it is renamed away.
      for (int tries = 0;; ++tries) {
        char temp[kTempLength + 1];
        temp_name(temp);
        SignalsHeld held;
        if (linkat(AT_FDCWD, self.c_str(), dir_fd_, temp, AT_SYMLINK_FOLLOW) == 0) {
          slot_ = arm(dir_fd_, temp);
          temp_ = temp;
          if (slot_ >= 0) break;
          return FileError::system(name_, EMFILE);
        }
        if (errno != EEXIST || tries == 100) return FileError::system(name_, errno);
      }
    }
  }
  if (!temp_.empty()) {
    int flags = replaces_ ? 0 : RENAME_NOREPLACE;
    int r = renameat2(dir_fd_, temp_.c_str(), dir_fd_, entry_.c_str(), flags);
    if (r != 0 && errno == EINVAL && flags != 0)  // a file system without RENAME_NOREPLACE
      r = renameat(dir_fd_, temp_.c_str(), dir_fd_, entry_.c_str());
    if (r != 0) return FileError::system(name_, errno);
    disarm(std::exchange(slot_, -1));
    temp_.clear();
  }
  committed_ = true;
  // Deferred write errors were reported by fsync; the file is in place now.
  ::close(std::exchange(fd_, -1));
  // Make the new name itself durable (fails harmlessly on an O_PATH folder).
  fsync(dir_fd_);
  return done();
}

}  // namespace tarnwick::file
