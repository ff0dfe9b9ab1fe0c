#include "file/operations.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <memory>
#include <utility>

#include "dispatch/format.h"
#include "file/folder.h"

namespace tarnwick::file {
namespace {

using digest::Exclusion;

// Reads of a model for a digest: a cache-sized buffer at a time.
constexpr std::size_t kReadPart = 256 * 1024;
std::vector<Exclusion> store_exclusion(const std::optional<StoreRange>& range) {
  if (!range) return {};
  return {{range->offset, range->length}};
}

// The model read in order on a second thread, a part ahead of its reader:
// copying a part out of the page cache then overlaps the digest of the one
// before, which is what reading costs beside hashing bytes in memory.
class ReadAhead {
 public:
  explicit ReadAhead(const Model& model) : model_(model) {
    for (auto& slot : slots_) slot.data.reset(new std::uint8_t[kReadPart]);
    thread_ = std::jthread([this] { run(); });
  }
  ~ReadAhead() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    moved_.notify_all();
  }
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The next part, in order; valid until next() is called again.
  [[nodiscard]] Outcome<ByteView> next() {
    if (taken_ >= 0) release(static_cast<std::size_t>(taken_));
    const std::size_t i = static_cast<std::size_t>(++taken_ % kSlots);
    std::unique_lock lock(mutex_);
    moved_.wait(lock, [&] { return slots_[i].full; });
    if (slots_[i].error) return *slots_[i].error;
    return ByteView(slots_[i].data.get(), slots_[i].size);
  }

 private:
  static constexpr std::size_t kSlots = 2;
  struct Slot {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
    bool full = false;
    std::optional<FileError> error;
  };

  void release(std::size_t taken) {
    {
      std::lock_guard lock(mutex_);
      slots_[taken % kSlots].full = false;
    }
    moved_.notify_all();
  }

  void run() noexcept {
    std::size_t i = 0;
    for (std::uint64_t at = 0; at < model_.size(); i = (i + 1) % kSlots) {
      {
        std::unique_lock lock(mutex_);
        moved_.wait(lock, [&] { return stop_ || !slots_[i].full; });
        if (stop_) return;
      }
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(model_.size() - at, kReadPart));
      Done read = model_.read_at(at, slots_[i].data.get(), n);
      {
        std::lock_guard lock(mutex_);
        slots_[i].size = n;
        slots_[i].full = true;
        if (!read.ok()) slots_[i].error = read.error();
      }
      moved_.notify_all();
      if (!read.ok()) return;
      at += n;
    }
  }

  const Model& model_;
  std::mutex mutex_;
  std::condition_variable moved_;
  Slot slots_[kSlots];
  bool stop_ = false;  // guarded by mutex_
  long long taken_ = -1;
  std::jthread thread_;  // last: joined before the rest goes
};

// The digest of the whole model file, read once, in order.
Outcome<Bytes> hash_file(const Model& model, digest::Algorithm algorithm, std::span<const Exclusion> exclusions,
                         const ProgressFn& progress) {
  Result<digest::DataHash> started = digest::DataHash::start(algorithm, exclusions, model.size());
  if (!started.ok()) return FileError::of_model(std::move(started).error(), model.name());
  digest::DataHash hash = std::move(started).value();
  ProgressTicker ticker(progress, model.size());
  {
    ReadAhead parts(model);
    for (std::uint64_t at = 0; at < model.size();) {
      Outcome<ByteView> part = parts.next();
      if (!part.ok()) return part.error();
      if (Status added = hash.add(part.value()); !added.ok())
        return FileError::of_model(std::move(added).error(), model.name());
      at += part.value().size();
      if (!ticker.tick(at)) return FileError::of(FileError::Kind::Aborted, model.name());
    }
  }
  // A digest of a file that changed meanwhile is no digest of it.
  if (auto same = model.check_unchanged(); !same.ok()) return same.error();
  if (!ticker.end()) return FileError::of(FileError::Kind::Aborted, model.name());
  Result<Bytes> digest = hash.finish();
  if (!digest.ok()) return FileError::of_model(std::move(digest).error(), model.name());
  return std::move(digest).value();
}

// A new file in another folder than the model's loses the model's external
// data, which lies beside the model and is named relative to it.
Done check_external_data(const Model& model, const Output& out) {
  if (out.in_place() || !out.is_new_file() || model.folder() == nullptr || out.in_folder(*model.folder()))
    return done();
  std::optional<FileError> failed;
  Result<bool> external = has_external_data(model.bytes(), [&](std::uint64_t offset, std::uint64_t length) {
    Done d = model.load_range(offset, length);
    if (!d.ok()) failed = d.error();
    return d.ok();
  });
  if (failed) return *failed;
  if (!external.ok()) return FileError::of_model(std::move(external).error(), model.name());
  if (external.value()) return FileError::of(FileError::Kind::ExternalData, model.name());
  return done();
}

}  // namespace

Outcome<Written> rewrite(const Model& model, Output& out, const Edit& edit, const ProgressFn& progress) {
  if (!edit.source && out.in_place()) {
    // Nothing to strip: a rewrite would only copy the model for nothing.
    Result<ModelInfo> info = inspect(model.bytes());
    if (info.ok() && !info->store_range && !info->uri) {
      if (auto same = model.check_unchanged(); !same.ok()) return same.error();
      return Written{model.size(), std::nullopt, std::nullopt, false};
    }
  }
  Outcome<Written> written = write_edited(model, out, edit, progress);
  if (!written.ok()) return written;
  if (auto committed = out.commit(); !committed.ok()) return committed.error();
  return written;
}

Done check_loadable(const Model& model) {
  Status loadable = tarnwick::check_loadable(model.bytes());
  if (!loadable.ok()) return FileError::of_model(std::move(loadable).error(), model.name());
  return done();
}

Outcome<Written> write_edited(const Model& model, Output& out, const Edit& edit, const ProgressFn& progress) {
  const ByteView m = model.bytes();
  if (!edit.external_data_copied) {
    if (auto kept = check_external_data(model, out); !kept.ok()) return kept.error();
  }
  // Into a file, the tensor data keeps its offset modulo the block, so that
  // a copy-on-write file system shares it; the bytes functions' layout
  // otherwise (and always for a stream).
  const std::uint64_t block = model.in_file() ? out.share_block() : 0;
  Result<Pieces> planned = edit.source ? embed_manifest(m, *edit.source, block) : remove_manifest(m, block);
  if (!planned.ok()) return FileError::of_model(std::move(planned).error(), model.name());
  // Provenance goes only into a model its format's loader loads; a strip
  // may still clean one it does not.
  if (edit.source) {
    if (auto loadable = check_loadable(model); !loadable.ok()) return loadable.error();
  }
  const Pieces& pieces = planned.value();
  Written written{pieces.size(), pieces.store_range(), std::nullopt};

  Done done_writing = done();
  {
    std::unique_ptr<WrittenDigest> digest;
    if (edit.hash) {
      auto attached = WrittenDigest::attach(out, *edit.hash, store_exclusion(written.store_range), pieces.size());
      if (!attached.ok()) return attached.error();
      digest = std::move(attached).value();
    }
    done_writing = write_pieces(pieces, model, out, progress);
    if (done_writing.ok() && digest) {
      Outcome<Bytes> d = digest->finish();
      if (d.ok())
        written.digest = std::move(d).value();
      else
        done_writing = d.error();
    }
  }  // the digest lets go of the output, its thread joined, on every path
  if (!done_writing.ok()) {
    // A model renamed over in place changes (its link count), but what
    // happened is the replacement.
    if (done_writing.error().kind == FileError::Kind::Changed && out.entry_replaced())
      return FileError::of(FileError::Kind::Replaced, out.name());
    return done_writing.error();
  }
  return written;
}

Outcome<Bytes> data_hash(const Model& model, digest::Algorithm algorithm,
                         const std::optional<std::vector<Exclusion>>& exclusions, const ProgressFn& progress) {
  if (exclusions) return hash_file(model, algorithm, *exclusions, progress);
  Result<std::optional<StoreRange>> range = locate_manifest(model.bytes());
  if (!range.ok()) return FileError::of_model(std::move(range).error(), model.name());
  return hash_file(model, algorithm, store_exclusion(range.value()), progress);
}

Outcome<Binding> check_binding(const Model& model, std::span<const Exclusion> exclusions, ByteView expected,
                               digest::Algorithm algorithm, const ProgressFn& progress) {
  Binding b;
  Result<std::optional<StoreRange>> range = locate_manifest(model.bytes());
  if (!range.ok()) return FileError::of_model(std::move(range).error(), model.name());
  if (auto loadable = check_loadable(model); !loadable.ok()) return loadable.error();
  b.store_range = range.value();
  if (!b.store_range) {
    b.reason = "the model holds no manifest store";
  } else if (exclusions.size() != 1 || exclusions[0].offset != b.store_range->offset ||
             exclusions[0].length != b.store_range->length) {
    b.reason = "the exclusions are not exactly the range where the manifest store lies (" +
               std::to_string(b.store_range->offset) + ", " + std::to_string(b.store_range->length) + ")";
  } else {
    b.location_ok = true;
  }
  if (Status valid = digest::check_exclusions(exclusions, model.size()); !valid.ok()) {
    if (b.reason.empty()) b.reason = valid.error().message();
    return b;
  }
  Outcome<Bytes> actual = hash_file(model, algorithm, exclusions, progress);
  if (!actual.ok()) return actual.error();
  const Bytes& a = actual.value();
  b.hash_ok = a.size() == expected.size() && std::equal(a.begin(), a.end(), expected.begin());
  if (!b.hash_ok && b.reason.empty()) b.reason = "the digest does not match the model's content";
  return b;
}

Outcome<Patched> patch_store(const std::string& path, ByteView store) {
  auto opened = Model::open(path, Model::Access::Patch);
  if (!opened.ok()) return opened.error();
  const Model& model = opened.value();
  Result<StoreWrite> planned = signed_store_write(model.bytes(), store);
  if (!planned.ok()) return FileError::of_model(std::move(planned).error(), path);
  const StoreWrite& write = planned.value();

  // Opened for writing through the descriptor already read: the same
  // regular file, never what the name may lead to by now.
  const std::string self = "/proc/self/fd/" + std::to_string(model.fd_);
  Fd fd(::open(self.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
  if (!fd && errno == ENOENT)
    fd.reset(openat(model.dir_fd_, model.entry_.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return FileError::system(path, errno);
  struct stat now {};
  if (fstat(fd.get(), &now) != 0) return FileError::system(path, errno);
  if (!model.is(now)) return FileError::of(FileError::Kind::Changed, path);
  if (now.st_nlink > 1) return FileError::of(FileError::Kind::HardLinked, path);
  // The place was found in the content read; it must still be that content.
  if (auto same = model.check_unchanged(); !same.ok()) return same.error();

  const std::uint8_t* p = write.stored.data();
  std::size_t left = write.stored.size();
  auto at = static_cast<off_t>(write.offset);
  while (left != 0) {
    ssize_t put = pwrite(fd.get(), p, left, at);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return FileError::system(path, put < 0 ? errno : EIO);
    p += put;
    left -= static_cast<std::size_t>(put);
    at += put;
  }
  // A file we wrote is never one that runs with another's rights.
  const bool set_id = (now.st_mode & (S_ISUID | S_ISGID)) != 0;
  if (set_id && fchmod(fd.get(), now.st_mode & 01777) != 0) return FileError::system(path, errno);
  if (fsync(fd.get()) != 0) return FileError::system(path, errno);
  return Patched{write.offset, write.stored.size(), model.size(), set_id};
}

}  // namespace tarnwick::file
