#include "containers/gguf.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick::gguf {
namespace {

constexpr std::string_view kMagic = "GGUF";
constexpr std::string_view kAlignmentKey = "general.alignment";
constexpr std::uint64_t kDefaultAlignment = 32;
constexpr std::uint64_t kHeaderSize = 24;  // magic, version, tensor count, entry count

constexpr std::string_view kTruncated = "unexpected end of GGUF data";
constexpr std::string_view kBadKey = "metadata key is not UTF-8";

// Value type codes, and the payload size of each fixed-size type (0: the
// payload carries its own length).
enum ValueType : std::uint32_t {
  kUint8, kInt8, kUint16, kInt16, kUint32, kInt32, kFloat32,
  kBool, kString, kArray, kUint64, kInt64, kFloat64,
};
constexpr std::uint8_t kPayloadSize[] = {1, 1, 2, 2, 4, 4, 4, 1, 0, 0, 8, 8, 8};
static_assert(std::size(kPayloadSize) == kFloat64 + 1);
static_assert(kPayloadSize[kUint32] == 4 && kPayloadSize[kBool] == 1 && kPayloadSize[kInt64] == 8);
static_assert(kPayloadSize[kString] == 0 && kPayloadSize[kArray] == 0);

// The smallest metadata entry: an empty key, a type code and a 1-byte payload.
constexpr std::uint64_t kMinKvSize = 8 + 4 + 1;
// Entries reserved up front at most. The rest of a multi-gigabyte file could
// "hold" hundreds of millions of entries; real files have tens, and beyond
// this the list grows with the entries actually read.
constexpr std::uint64_t kMaxReservedKvs = 4096;

bool is_known(std::uint32_t type) { return type < std::size(kPayloadSize); }
std::uint64_t fixed_size(std::uint32_t type) { return is_known(type) ? kPayloadSize[type] : 0; }

Error truncated() { return Error::malformed(std::string(kTruncated)); }
Error bad_value_type(std::uint32_t type) {
  return Error::malformed("bad value type " + std::to_string(type));
}

// One metadata entry: its bytes as in the file (key length, key, value type
// code, payload). Entries read from a file view the input; entries made here
// own their bytes. Kept small: a hostile file can hold one entry per 13 bytes.
struct Kv {
  ByteView record;
  std::uint64_t key_size = 0;
  std::unique_ptr<Bytes> owned;  // null for entries read from a file

  std::string_view key() const { return text_of(record.subspan(8, key_size)); }
  ByteView value() const { return record.subspan(8 + key_size); }
};
static_assert(sizeof(Kv) <= 32);

struct Gguf {
  std::uint32_t version = 0;
  std::uint64_t tensor_count = 0;
  std::vector<Kv> kvs;
  ByteView tensor_info;
  std::uint64_t alignment = kDefaultAlignment;
  bool padded = true;  // false: the file ends with its records (no tensors)
  ByteView tensor_data;

  [[nodiscard]] static Result<Gguf> parse(ByteView data);
  static Pieces serialize(Gguf gguf);
};

// Cursor reads with the GGUF failure texts.
[[nodiscard]] Result<std::uint32_t> read_u32(Cursor& c) {
  std::uint32_t v;
  if (!c.u32le(&v)) return truncated();
  return v;
}
[[nodiscard]] Result<std::uint64_t> read_u64(Cursor& c) {
  std::uint64_t v;
  if (!c.u64le(&v)) return truncated();
  return v;
}

// A key or tensor name: u64 length, then that many UTF-8 bytes.
[[nodiscard]] Result<std::string_view> gguf_string(Cursor& c) {
  TW_TRY(std::uint64_t len, read_u64(c));
  ByteView bytes;
  if (!c.take(len, &bytes)) return truncated();
  if (!is_utf8(bytes)) return Error::malformed(std::string(kBadKey));
  return text_of(bytes);
}

// Passes over `count` strings back to back. A tokenizer holds 100,000s of
// them, and each length depends on the one before, so this loop is the
// critical path of reading a large model's metadata: it works on a raw
// pointer and compares each length against the bytes left before using it.
[[nodiscard]] bool skip_strings(Cursor& c, std::uint64_t count) {
  const std::uint8_t* const begin = c.data().data() + c.pos();
  const std::uint8_t* p = begin;
  std::uint64_t left = c.remaining();
  for (; count != 0; --count) {
    if (left < 8) return false;
    std::uint64_t len;
    std::memcpy(&len, p, 8);
    if constexpr (std::endian::native == std::endian::big) len = __builtin_bswap64(len);
    left -= 8;
    if (len > left) return false;
    left -= len;
    p += 8 + len;
  }
  return c.skip(static_cast<std::uint64_t>(p - begin));
}

// Advances past one value of the given type. Arrays nest to any depth, so
// the walk keeps its own stack on the heap: one frame per open array, and a
// frame is dropped before its last element is walked, so a chain of
// one-element arrays never grows it.
[[nodiscard]] Status skip_value(Cursor& c, std::uint32_t type) {
  struct Frame {
    std::uint32_t type;
    std::uint64_t left;
  };
  std::vector<Frame> open;
  for (;;) {
    if (std::uint64_t size = fixed_size(type)) {
      if (!c.skip(size)) return truncated();
    } else if (type == kString) {
      if (!skip_strings(c, 1)) return truncated();
    } else if (type == kArray) {
      std::uint32_t element;
      std::uint64_t count;
      if (!c.u32le(&element) || !c.u64le(&count)) return truncated();
      // The element type is judged only once an element is walked.
      if (count != 0) open.push_back({element, count});
    } else {
      return bad_value_type(type);
    }

    // Choose the next value to walk; whole runs of fixed-size elements and
    // of strings are passed over here without a frame step each.
    for (;;) {
      if (open.empty()) return ok();
      Frame& top = open.back();
      if (std::uint64_t size = fixed_size(top.type)) {
        if (top.left > c.remaining() / size) return truncated();
        if (!c.skip(top.left * size)) return truncated();
        open.pop_back();
      } else if (top.type == kString) {
        if (!skip_strings(c, top.left)) return truncated();
        open.pop_back();
      } else {
        type = top.type;
        if (--top.left == 0) open.pop_back();
        break;
      }
    }
  }
}

// The number held by a UINT32 value, if that is what the value is.
std::optional<std::uint32_t> read_u32_value(ByteView value) {
  Cursor c(value);
  std::uint32_t type, v;
  if (!c.u32le(&type) || type != kUint32 || !c.u32le(&v)) return std::nullopt;
  return v;
}

// One tensor-info record, checked only for lying within the input and for
// its name being UTF-8.
[[nodiscard]] Status skip_tensor_info(Cursor& c) {
  TW_CHECK(gguf_string(c));  // name
  TW_TRY(std::uint32_t dims, read_u32(c));
  if (dims > c.remaining() / 8 || !c.skip(std::uint64_t{dims} * 8)) return truncated();
  TW_CHECK(read_u32(c));  // element type
  TW_CHECK(read_u64(c));  // offset into the tensor data
  return ok();
}

Result<Gguf> Gguf::parse(ByteView data) {
  if (data.size() < kMagic.size()) return truncated();
  if (text_of(data.first(kMagic.size())) != kMagic) return Error::malformed("not a GGUF file");
  if (data.size() < 8) return truncated();
  Gguf g;
  Cursor c(data, kMagic.size());
  TW_TRY(g.version, read_u32(c));
  if (g.version != 2 && g.version != 3)
    return Error::malformed("unsupported GGUF version " + std::to_string(g.version));
  if (data.size() < kHeaderSize) return truncated();
  TW_TRY(g.tensor_count, read_u64(c));
  TW_TRY(std::uint64_t kv_count, read_u64(c));

  // The count is untrusted: reserve no more than the rest could hold.
  g.kvs.reserve(static_cast<std::size_t>(
      std::min({kv_count, c.remaining() / kMinKvSize, kMaxReservedKvs})));
  for (std::uint64_t i = 0; i < kv_count; ++i) {
    const std::uint64_t start = c.pos();
    TW_TRY(std::string_view key, gguf_string(c));
    const std::uint64_t value_start = c.pos();
    TW_TRY(std::uint32_t type, read_u32(c));
    TW_CHECK(skip_value(c, type));
    if (key == kAlignmentKey) {
      auto v = read_u32_value(data.subspan(value_start, c.pos() - value_start));
      if (v && *v != 0) g.alignment = *v;
    }
    g.kvs.push_back(Kv{data.subspan(start, c.pos() - start), key.size(), nullptr});
  }

  const std::uint64_t info_start = c.pos();
  for (std::uint64_t i = 0; i < g.tensor_count; ++i) {
    TW_CHECK(skip_tensor_info(c));
  }
  const std::uint64_t info_end = c.pos();
  g.tensor_info = data.subspan(info_start, info_end - info_start);

  const std::uint64_t misalign = info_end % g.alignment;
  const std::uint64_t padding = misalign == 0 ? 0 : g.alignment - misalign;
  const std::uint64_t left = data.size() - info_end;
  // Without tensors, llama.cpp never seeks to the tensor data, and its own
  // vocabulary files end right after their metadata. Such a file, ending at
  // or inside the padding, has no tensor data and is written back unpadded.
  if (g.tensor_count == 0 && (left == 0 || left < padding)) {
    g.padded = false;
    return g;
  }
  if (padding > left) return Error::malformed("tensor data offset out of range");
  g.tensor_data = data.subspan(info_end + padding);
  return g;
}

// Kept bytes go out as views of the input, adjacent ones merged into one.
class ViewRun {
 public:
  explicit ViewRun(Pieces& out) : out_(out) {}
  void add(ByteView v) {
    if (v.empty()) return;
    if (!run_.empty() && run_.data() + run_.size() == v.data()) {
      run_ = ByteView(run_.data(), run_.size() + v.size());
    } else {
      flush();
      run_ = v;
    }
  }
  void flush() {
    out_.add_view(run_);
    run_ = {};
  }

 private:
  Pieces& out_;
  ByteView run_;
};

Pieces Gguf::serialize(Gguf g) {
  Pieces out;
  Bytes header;
  append(header, kMagic);
  append_u32le(header, g.version);
  append_u64le(header, g.tensor_count);
  append_u64le(header, g.kvs.size());
  out.add_owned(std::move(header));

  ViewRun kept(out);
  for (Kv& kv : g.kvs) {
    if (kv.owned) {
      kept.flush();
      // The new store's payload, after its array head (type, element type,
      // count), is what a data hash excludes.
      if (kv.key() == kStoreKey) {
        const std::uint64_t head = 8 + kv.key_size + 4 + 4 + 8;
        out.mark_store(out.size() + head, kv.owned->size() - head);
      }
      out.add_owned(std::move(*kv.owned));
    } else {
      kept.add(kv.record);
    }
  }
  kept.add(g.tensor_info);
  kept.flush();

  if (g.padded) {
    const std::uint64_t misalign = out.size() % g.alignment;
    out.add_zeros(misalign == 0 ? 0 : g.alignment - misalign);
  }
  out.add_view(g.tensor_data);
  return out;
}

// A new entry: key length, key, then the value built by `write_value`.
template <class WriteValue>
Kv new_kv(std::string_view key, WriteValue write_value) {
  auto owned = std::make_unique<Bytes>();
  append_u64le(*owned, key.size());
  append(*owned, key);
  write_value(*owned);
  ByteView record(*owned);
  return Kv{record, key.size(), std::move(owned)};
}

Kv store_kv(const Bytes& store) {
  return new_kv(kStoreKey, [&](Bytes& out) {
    append_u32le(out, kArray);
    append_u32le(out, kUint8);
    append_u64le(out, store.size());
    append(out, ByteView(store));
  });
}

Kv uri_kv(std::string_view uri) {
  return new_kv(kUriKey, [&](Bytes& out) {
    append_u32le(out, kString);
    append_u64le(out, uri.size());
    append(out, uri);
  });
}

// The entry with `key`, or null when there is none. Like every container,
// GGUF refuses a second C2PA entry of a kind here, once the file has parsed
// and before the entry's value type is looked at: gguf-py and llama.cpp
// refuse duplicate keys, and a reader must not pick one of two.
Result<const Kv*> only_entry(const Gguf& g, std::string_view key, Error (*duplicate)(Format)) {
  const Kv* found = nullptr;
  for (const Kv& kv : g.kvs) {
    if (kv.key() != key) continue;
    if (found != nullptr) return duplicate(Format::GGUF);
    found = &kv;
  }
  return found;
}

// Entries read from a file view it.
std::uint64_t offset_in(ByteView data, ByteView part) {
  return static_cast<std::uint64_t>(part.data() - data.data());
}

void drop_c2pa_entries(Gguf& g) {
  std::erase_if(g.kvs, [](const Kv& kv) { return kv.key() == kStoreKey || kv.key() == kUriKey; });
}

}  // namespace

Result<std::optional<StoreRange>> locate_store(ByteView data) {
  TW_TRY(Gguf g, Gguf::parse(data));
  TW_TRY(const Kv* kv, only_entry(g, kStoreKey, Error::duplicate_manifest));
  if (kv == nullptr) return std::optional<StoreRange>();

  auto not_bytes = [] { return Error::malformed("c2pa:manifest is not a UINT8 array"); };
  Cursor c(kv->value());
  std::uint32_t type, element;
  std::uint64_t count;
  ByteView store;
  if (!c.u32le(&type)) return truncated();
  if (type != kArray) return not_bytes();
  if (!c.u32le(&element)) return truncated();
  if (element != kUint8) return not_bytes();
  if (!c.u64le(&count) || !c.take(count, &store)) return truncated();
  return std::optional<StoreRange>(StoreRange{offset_in(data, store), store.size()});
}

Result<std::optional<std::string>> read_uri(ByteView data) {
  TW_TRY(Gguf g, Gguf::parse(data));
  TW_TRY(const Kv* kv, only_entry(g, kUriKey, Error::duplicate_uri));
  if (kv == nullptr) return std::optional<std::string>();

  Cursor c(kv->value());
  std::uint32_t type;
  std::uint64_t len;
  ByteView uri;
  if (!c.u32le(&type)) return truncated();
  if (type != kString) return Error::malformed("c2pa:manifest.uri is not a string");
  if (!c.u64le(&len) || !c.take(len, &uri)) return truncated();
  if (!is_utf8(uri)) return Error::malformed("URI is not UTF-8");
  return std::optional<std::string>(text_of(uri));
}

Result<Pieces> embed(ByteView data, const ManifestSource& source) {
  if (source.empty()) return Error::empty_source();
  TW_TRY(Gguf g, Gguf::parse(data));
  drop_c2pa_entries(g);
  if (source.store()) g.kvs.push_back(store_kv(*source.store()));
  if (source.uri()) g.kvs.push_back(uri_kv(*source.uri()));
  return Gguf::serialize(std::move(g));
}

Result<ByteView> tensor_data(ByteView data) {
  TW_TRY(Gguf g, Gguf::parse(data));
  return g.tensor_data;
}

Result<Pieces> remove(ByteView data) {
  TW_TRY(Gguf g, Gguf::parse(data));
  drop_c2pa_entries(g);
  return Gguf::serialize(std::move(g));
}

Result<std::optional<std::uint64_t>> metadata_size(ByteView prefix) {
  // The parser's walk, keeping nothing; every truncation it can meet is
  // the one error text below.
  auto walk = [&]() -> Result<std::uint64_t> {
    if (prefix.size() < kHeaderSize) return truncated();
    Cursor c(prefix, kMagic.size());
    // The rest of a file of another version is not walked: the parser
    // refuses it on this field.
    TW_TRY(std::uint32_t version, read_u32(c));
    if (version != 2 && version != 3) return c.pos();
    TW_TRY(std::uint64_t tensors, read_u64(c));
    TW_TRY(std::uint64_t kvs, read_u64(c));
    for (std::uint64_t i = 0; i < kvs; ++i) {
      TW_CHECK(gguf_string(c));
      TW_TRY(std::uint32_t type, read_u32(c));
      TW_CHECK(skip_value(c, type));
    }
    for (std::uint64_t i = 0; i < tensors; ++i) {
      TW_CHECK(skip_tensor_info(c));
    }
    return c.pos();
  };
  Result<std::uint64_t> size = walk();
  if (size.ok()) return std::optional<std::uint64_t>(size.value());
  if (size.error().message() == truncated().message()) return std::optional<std::uint64_t>();
  return std::move(size).error();
}

}  // namespace tarnwick::gguf
