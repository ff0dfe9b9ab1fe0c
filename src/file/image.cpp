#include "file/image.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

namespace tarnwick::file {
namespace {

std::size_t page_size() {
  static const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

}  // namespace

Outcome<Image> Image::reserve(std::uint64_t size, const std::string& name, std::uint64_t chunk) {
  const std::size_t page = page_size();
  // Rounded up to whole pages without overflow; past PTRDIFF_MAX no mapping exists.
  if (size > static_cast<std::uint64_t>(PTRDIFF_MAX) - page) return FileError::system(name, ENOMEM);
  if (chunk < page || (chunk & (chunk - 1)) != 0) chunk = page;
  Image image;
  image.size_ = static_cast<std::size_t>(size);
  image.chunk_ = chunk;
  image.mapped_ = std::max<std::size_t>(page, (image.size_ + page - 1) / page * page);
  // Address space only: MAP_NORESERVE, no access until loaded.
  void* p = mmap(nullptr, image.mapped_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) {
    image.mapped_ = 0;
    return FileError::system(name, errno);
  }
  image.data_ = static_cast<std::uint8_t*>(p);
  image.loaded_.assign(static_cast<std::size_t>((size + chunk - 1) / chunk), false);
  return image;
}

Image::Image(Image&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)),
      size_(std::exchange(o.size_, 0)),
      mapped_(std::exchange(o.mapped_, 0)),
      chunk_(o.chunk_),
      loaded_(std::move(o.loaded_)) {}

Image::~Image() {
  if (data_ != nullptr && mapped_ != 0) munmap(data_, mapped_);
}

Done Image::load(std::uint64_t offset, std::uint64_t length, const Fill& fill, const std::string& name) {
  if (length == 0) return done();
  if (!fits(offset, length, size_)) return FileError::of(FileError::Kind::Changed, name);
  const std::uint64_t first = offset / chunk_;
  const std::uint64_t last = (offset + length - 1) / chunk_;
  for (std::uint64_t c = first; c <= last;) {
    if (loaded_[c]) {
      ++c;
      continue;
    }
    std::uint64_t run_end = c;
    while (run_end <= last && !loaded_[run_end]) ++run_end;
    const std::uint64_t from = c * chunk_;
    const std::uint64_t to = std::min<std::uint64_t>(size_, run_end * chunk_);
    const std::size_t page = page_size();
    const std::size_t span = (static_cast<std::size_t>(to - from) + page - 1) / page * page;
    if (mprotect(data_ + from, span, PROT_READ | PROT_WRITE) != 0) return FileError::system(name, errno);
    Done filled = fill(from, data_ + from, static_cast<std::size_t>(to - from));
    // Read-only once filled: the parsers only ever read it. A failed fill
    // leaves the run unreadable, its partial bytes never parsed.
    if (mprotect(data_ + from, span, filled.ok() ? PROT_READ : PROT_NONE) != 0) return FileError::system(name, errno);
    if (!filled.ok()) return filled;
    for (; c < run_end; ++c) loaded_[c] = true;
  }
  return done();
}

}  // namespace tarnwick::file
