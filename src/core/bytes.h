// Byte strings, views, bounds-checked reading and the piece-list output.
//
// Every position or length that comes from a model file is untrusted. All
// range checks go through `fits` and `Cursor`, which compare before they add,
// so no sum of untrusted values is ever formed unchecked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView view_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}
inline std::string_view text_of(ByteView v) {
  return {reinterpret_cast<const char*>(v.data()), v.size()};
}

// True when `len` bytes starting at `pos` lie inside a buffer of `size` bytes.
[[nodiscard]] constexpr bool fits(std::uint64_t pos, std::uint64_t len, std::uint64_t size) {
  return pos <= size && len <= size - pos;
}

// a + b, or false when the sum does not fit in 64 bits.
[[nodiscard]] constexpr bool checked_add(std::uint64_t a, std::uint64_t b, std::uint64_t* sum) {
  if (a > UINT64_MAX - b) return false;
  *sum = a + b;
  return true;
}

// Strict UTF-8 (as Python decodes it): no overlong forms, no surrogates,
// nothing above U+10FFFF.
[[nodiscard]] inline bool is_utf8(ByteView s) {
  const std::uint8_t* p = s.data();
  const std::uint8_t* end = p + s.size();
  while (p != end) {
    // ASCII runs are the common case: test eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if (w & 0x8080808080808080ull) break;
      p += 8;
    }
    if (p == end) break;
    std::uint8_t c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t need;
    std::uint8_t lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= need) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (std::size_t i = 2; i <= need; ++i)
      if ((p[i] & 0xC0) != 0x80) return false;
    p += need + 1;
  }
  return true;
}

// Reader over a byte view. The only place where input bytes are touched by
// the binary parsers; every read either succeeds whole or returns false and
// leaves the position unchanged.
class Cursor {
 public:
  explicit Cursor(ByteView data, std::uint64_t pos = 0) : data_(data), pos_(pos) {}

  std::uint64_t pos() const { return pos_; }
  std::uint64_t size() const { return data_.size(); }
  std::uint64_t remaining() const { return pos_ <= data_.size() ? data_.size() - pos_ : 0; }
  bool at_end() const { return pos_ >= data_.size(); }
  ByteView data() const { return data_; }

  [[nodiscard]] bool skip(std::uint64_t n) {
    if (n > remaining()) return false;
    pos_ += n;
    return true;
  }
  [[nodiscard]] bool take(std::uint64_t n, ByteView* out) {
    if (n > remaining()) return false;
    *out = data_.subspan(static_cast<std::size_t>(pos_), static_cast<std::size_t>(n));
    pos_ += n;
    return true;
  }
  [[nodiscard]] bool u8(std::uint8_t* out) {
    if (remaining() < 1) return false;
    *out = data_[static_cast<std::size_t>(pos_++)];
    return true;
  }
  [[nodiscard]] bool u32le(std::uint32_t* out) { return little_endian(out); }
  [[nodiscard]] bool u64le(std::uint64_t* out) { return little_endian(out); }

 private:
  template <class T>
  bool little_endian(T* out) {
    if (remaining() < sizeof(T)) return false;
    const std::uint8_t* p = data_.data() + pos_;
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(p[i]) << (8 * i);
    *out = v;
    pos_ += sizeof(T);
    return true;
  }

  ByteView data_;
  std::uint64_t pos_;
};

inline void append_u32le(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void append_u64le(Bytes& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void append(Bytes& out, ByteView v) { out.insert(out.end(), v.begin(), v.end()); }
inline void append(Bytes& out, std::string_view s) { append(out, view_of(s)); }

// Copies v to dst, where dst lies in memory that was just allocated and
// whose pages have not been touched yet (a large allocation is a fresh
// mapping). A large view is copied one destination page at a time: the first
// store into a fresh page makes the kernel zero it through the cache, and the
// ordinary stores of a page-sized memcpy then land in lines already cached.
// One memcpy of the whole view streams past the cache instead (the string
// instruction's bulk mode, or non-temporal stores past the C library's
// threshold, whose loop it picks by where source and destination fall within
// their pages); on a fresh destination that measured 1.3 to 1.6 times slower
// from 16 MiB to 1 GiB.
inline void copy_to_fresh(std::uint8_t* dst, ByteView v) {
  constexpr std::size_t kPage = 4096;
  // Smaller results may land in reused memory still in the cache, where
  // many small copies cost more (measured up to 2 times at 1 MiB) than they
  // gain on fresh pages (10 to 25 %).
  constexpr std::size_t kPagewise = 4 << 20;
  const std::uint8_t* src = v.data();
  std::size_t done = 0;
  if (v.size() >= kPagewise) {
    done = (kPage - reinterpret_cast<std::uintptr_t>(dst) % kPage) % kPage;
    std::memcpy(dst, src, done);
    for (; v.size() - done >= kPage; done += kPage) std::memcpy(dst + done, src + done, kPage);
  }
  std::memcpy(dst + done, src + done, v.size() - done);
}

// Where a manifest store lies in a file, as stored: the raw bytes of a GGUF
// UINT8 array, or the Base64 text of an ONNX or SafeTensors value.
struct StoreRange {
  std::uint64_t offset;
  std::uint64_t length;
  friend bool operator==(const StoreRange&, const StoreRange&) = default;
};

// A rewritten model described as an ordered list of pieces: views of the
// input (tensor data, kept fields), small owned buffers (new entries, a new
// header) and runs of zero bytes (padding). The consumer allocates `size()`
// bytes once and copies the pieces in, so the model is copied exactly once.
// Views borrow the input and must not outlive it.
class Pieces {
 public:
  void add_view(ByteView v) {
    if (!v.empty()) add(Piece{Piece::kView, v.data(), v.size()});
  }
  void add_owned(Bytes b) {
    if (b.empty()) return;
    std::size_t n = b.size();
    owned_.push_back(std::move(b));
    add(Piece{Piece::kOwned, nullptr, n, owned_.size() - 1});
  }
  void add_zeros(std::uint64_t n) { add_fill(0, n); }
  // A run of one byte (a reserved store's zeros, or their Base64 text),
  // held as its length only.
  void add_fill(std::uint8_t byte, std::uint64_t n) {
    if (n != 0) add(Piece{Piece::kFill, nullptr, static_cast<std::size_t>(n), byte});
  }

  std::uint64_t size() const { return size_; }

  // Where the output holds the manifest store as stored, set by the
  // container that placed it: what a data hash of the output excludes.
  void mark_store(std::uint64_t offset, std::uint64_t length) { store_ = StoreRange{offset, length}; }
  const std::optional<StoreRange>& store_range() const { return store_; }

  // Calls f(ByteView) for each piece in order; runs of one byte come as
  // views of a small block filled with it, in chunks.
  template <class F>
  void for_each(F&& f) const {
    std::uint8_t block[4096];
    for (const Piece& p : pieces_) {
      switch (p.kind) {
        case Piece::kView: f(ByteView(p.data, p.size)); break;
        case Piece::kOwned: f(ByteView(owned_[p.index])); break;
        case Piece::kFill:
          std::memset(block, p.index, p.size < sizeof block ? p.size : sizeof block);
          for (std::size_t left = p.size; left != 0;) {
            std::size_t n = left < sizeof block ? left : sizeof block;
            f(ByteView(block, n));
            left -= n;
          }
          break;
      }
    }
  }

  // Copies all pieces into dst, which must hold size() bytes. dst is meant
  // to be freshly allocated memory; see copy_to_fresh.
  void write_to(std::uint8_t* dst) const {
    for_each([&](ByteView v) {
      copy_to_fresh(dst, v);
      dst += v.size();
    });
  }

  Bytes to_bytes() const {
    Bytes out(static_cast<std::size_t>(size_));
    write_to(out.data());
    return out;
  }

 private:
  struct Piece {
    enum Kind : std::uint8_t { kView, kOwned, kFill } kind;
    const std::uint8_t* data;
    std::size_t size;
    std::size_t index = 0;  // kOwned: the buffer; kFill: the byte
  };
  void add(Piece p) {
    pieces_.push_back(p);
    size_ += p.size;
  }

  std::vector<Bytes> owned_;
  std::vector<Piece> pieces_;
  std::uint64_t size_ = 0;
  std::optional<StoreRange> store_;
};

}  // namespace tarnwick
