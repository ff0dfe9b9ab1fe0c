#include "file/patch.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/base64.h"
#include "core/format.h"
#include "file/fault_guard.h"
#include "file/folder.h"

namespace tarnwick::file {
namespace {

// The file's bytes as they are now, shared with the file, so what `place`
// judges is what pwrite changes.
class Mapping {
 public:
  Mapping(void* p, std::size_t n) : p_(p), n_(n) {}
  ~Mapping() {
    if (p_ != MAP_FAILED && n_ != 0) munmap(p_, n_);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  bool ok() const { return p_ != MAP_FAILED; }
  ByteView bytes() const { return n_ == 0 ? ByteView() : ByteView(static_cast<const std::uint8_t*>(p_), n_); }

 private:
  void* p_;
  std::size_t n_;
};

}  // namespace

PatchOutcome patch_in_place(const std::string& path, const PatchPlace& place) {
  PatchOutcome out;
  auto fail = [&](FileError e) {
    out.file_error = std::move(e);
    return std::move(out);
  };
  // O_NONBLOCK: a FIFO must not stall the open; it is refused just below.
  Fd fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return fail(FileError::system(path, errno));
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return fail(FileError::system(path, errno));
  if (!S_ISREG(st.st_mode)) return fail(FileError::of(FileError::Kind::NotRegular, path));
  // Another user's link in a shared folder (/tmp) must not steer the write
  // to a file of ours; checked after the open, so a link swapped in before
  // it shows here.
  struct stat link {};
  struct stat folder {};
  if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
      stat(split_path(path).folder.c_str(), &folder) == 0 && foreign_in_shared_folder(link, folder))
    return fail(FileError::system(path, EACCES));

  const auto size = static_cast<std::size_t>(st.st_size);
  Mapping map(size == 0 ? nullptr : mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0), size);
  if (!map.ok()) return fail(FileError::system(path, errno));
  GuardedRange guard(map.bytes().data(), map.bytes().size());
  Result<PatchWrite> planned = place(map.bytes());
  if (guard.faulted()) return fail(FileError::of(FileError::Kind::Changed, path));
  if (!planned.ok()) {
    out.model_error = planned.error();
    return out;
  }
  const PatchWrite& write = planned.value();
  if (!fits(write.offset, write.bytes.size(), size)) return fail(FileError::of(FileError::Kind::Changed, path));

  const std::uint8_t* p = write.bytes.data();
  std::size_t left = write.bytes.size();
  auto at = static_cast<off_t>(write.offset);
  while (left != 0) {
    ssize_t put = pwrite(fd.get(), p, left, at);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return fail(FileError::system(path, put < 0 ? errno : EIO));
    p += put;
    left -= static_cast<std::size_t>(put);
    at += put;
  }
  if (fsync(fd.get()) != 0) return fail(FileError::system(path, errno));
  out.patched = Patched{write.offset, static_cast<std::uint64_t>(st.st_size)};
  return out;
}

Result<PatchWrite> store_write(ByteView file, ByteView store) {
  TW_TRY(const std::optional<StoreRange> range, locate_manifest(file));
  if (!range) return Error::no_manifest();
  // locate_manifest has recognised the format. The length is compared
  // before any text is made.
  const bool base64 = Format::detect(file)->store_is_base64();
  const std::uint64_t length = base64 ? base64::encoded_size(store.size()) : store.size();
  if (length != range->length) return Error::store_size_differs(length, range->length);
  Bytes stored(static_cast<std::size_t>(length));
  if (base64)
    base64::encode_to(store, stored.data());
  else
    std::copy(store.begin(), store.end(), stored.begin());
  return PatchWrite{range->offset, std::move(stored)};
}

}  // namespace tarnwick::file
