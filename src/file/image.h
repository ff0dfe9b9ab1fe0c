// A file's bytes at their own offsets, in address space reserved for its
// whole size but readable only where loaded: what the containers' parsers
// read of a file that is never mapped (a local one read with pread, a remote
// one through range requests). Pages never loaded are never backed by
// memory, so a model of any size costs its metadata only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "file/error.h"

namespace tarnwick::file {

class Image {
 public:
  // Writes exactly `n` bytes of the file from `offset` to `out`.
  using Fill = std::function<Done(std::uint64_t offset, std::uint8_t* out, std::size_t n)>;

  // Address space for `size` bytes, loaded `chunk` bytes (a power of two of
  // a page or more) at a time, each chunk once. A size the address space
  // cannot hold is refused (ENOMEM, as mmap says), naming `name`.
  [[nodiscard]] static Outcome<Image> reserve(std::uint64_t size, const std::string& name, std::uint64_t chunk);

  Image(Image&& other) noexcept;
  Image& operator=(Image&&) = delete;
  Image(const Image&) = delete;
  ~Image();

  ByteView bytes() const { return {data_, size_}; }
  // Makes [offset, offset + length) readable, filling the chunks it covers
  // that were never loaded (runs of them in one call of `fill`); failures
  // name `name`, the file as its caller knows it now.
  [[nodiscard]] Done load(std::uint64_t offset, std::uint64_t length, const Fill& fill, const std::string& name);

 private:
  Image() = default;

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;
  std::uint64_t chunk_ = 0;
  std::vector<bool> loaded_;
};

}  // namespace tarnwick::file
