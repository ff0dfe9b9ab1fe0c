#include "containers/gguf.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/json.h"
#include "core/layout.h"

namespace tarnwick::gguf {
namespace {

constexpr std::string_view kMagic = "GGUF";
constexpr std::string_view kAlignmentKey = "general.alignment";
// A UINT8 array of zeros that sizes the metadata so that a rewrite for a
// file keeps the tensor data congruent modulo the file system's block.
// Written and dropped with the C2PA entries; nothing reads it.
constexpr std::string_view kPaddingKey = "c2pa:padding";
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

bool is_known(std::uint32_t type) { return type < std::size(kPayloadSize); }
std::uint64_t fixed_size(std::uint32_t type) { return is_known(type) ? kPayloadSize[type] : 0; }

Error truncated() { return Error::malformed(std::string(kTruncated)); }
Error bad_value_type(std::uint32_t type) {
  return Error::malformed("bad value type " + std::to_string(type));
}

// One metadata entry as a walk meets it; every view borrows the input.
struct Entry {
  std::string_view key;
  ByteView value;   // type code, then payload
  ByteView record;  // the whole entry, key length first
};

// What a walk of the file keeps: the frame around the entries, never the
// entries themselves, whose number the file chooses (a hostile file holds
// one per 13 bytes).
struct Layout {
  std::uint32_t version = 0;
  std::uint64_t tensor_count = 0;
  std::uint64_t kv_count = 0;
  ByteView tensor_info;
  std::uint64_t alignment = kDefaultAlignment;
  bool padded = true;  // false: the file ends with its records (no tensors)
  ByteView tensor_data;
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

// Reads the file once, handing each metadata entry to `on_entry` as it
// passes, and checks the frame every operation relies on: the entries and
// tensor-info records lie within the input, and so does the tensor data's
// aligned start.
template <class OnEntry>
[[nodiscard]] Result<Layout> walk(ByteView data, OnEntry&& on_entry) {
  if (data.size() < kMagic.size()) return truncated();
  if (text_of(data.first(kMagic.size())) != kMagic) return Error::malformed("not a GGUF file");
  if (data.size() < 8) return truncated();
  Layout g;
  Cursor c(data, kMagic.size());
  TW_TRY(g.version, read_u32(c));
  if (g.version != 2 && g.version != 3)
    return Error::malformed("unsupported GGUF version " + std::to_string(g.version));
  if (data.size() < kHeaderSize) return truncated();
  TW_TRY(g.tensor_count, read_u64(c));
  TW_TRY(g.kv_count, read_u64(c));

  for (std::uint64_t i = 0; i < g.kv_count; ++i) {
    const std::uint64_t start = c.pos();
    TW_TRY(const std::string_view key, gguf_string(c));
    const std::uint64_t value_start = c.pos();
    TW_TRY(const std::uint32_t type, read_u32(c));
    TW_CHECK(skip_value(c, type));
    const ByteView value = data.subspan(value_start, c.pos() - value_start);
    if (key == kAlignmentKey) {
      auto v = read_u32_value(value);
      if (v && *v != 0) g.alignment = *v;
    }
    on_entry(Entry{key, value, data.subspan(start, c.pos() - start)});
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

// The entries a rewrite keeps, as the output holds them: a run of adjacent
// entries is one view of the input. Runs shorter than kCopiedRun are copied
// into one buffer instead: a hostile file can make every 13-byte entry a run
// of its own (each followed by a dropped C2PA entry), and a piece costs more
// than that. So the list costs at most about what it holds, whatever the
// number of entries.
class Kept {
 public:
  void add(ByteView v) {
    if (v.empty()) return;
    size_ += v.size();
    if (!run_.empty() && run_.data() + run_.size() == v.data()) {
      run_ = ByteView(run_.data(), run_.size() + v.size());
      return;
    }
    end_run();
    run_ = v;
  }

  std::uint64_t size() const { return size_; }

  void write_to(Pieces& out) && {
    end_run();
    end_copied();
    for (Part& part : parts_) {
      if (auto* view = std::get_if<ByteView>(&part)) {
        out.add_view(*view);
      } else {
        out.add_owned(std::move(std::get<Bytes>(part)));
      }
    }
  }

 private:
  static constexpr std::uint64_t kCopiedRun = 4096;
  using Part = std::variant<ByteView, Bytes>;

  void end_run() {
    if (run_.size() < kCopiedRun) {
      append(copied_, run_);
    } else {
      end_copied();
      parts_.emplace_back(run_);
    }
    run_ = {};
  }
  void end_copied() {
    if (!copied_.empty()) parts_.emplace_back(std::exchange(copied_, {}));
  }

  ByteView run_;
  std::uint64_t size_ = 0;
  Bytes copied_;
  std::vector<Part> parts_;
};

// A new entry: key length, key, then the value built by `write_value`.
template <class WriteValue>
Bytes new_entry(std::string_view key, WriteValue write_value) {
  Bytes out;
  append_u64le(out, key.size());
  append(out, key);
  write_value(out);
  return out;
}

// The bytes before a UINT8 array's payload: key, type, element type, count.
std::uint64_t array_head_size(std::string_view key) { return 8 + key.size() + 4 + 4 + 8; }

// The store's entry; a reserved store's zeros are not in it, but follow it
// as a run.
Bytes store_entry(const ManifestSource& source) {
  return new_entry(kStoreKey, [&](Bytes& out) {
    append_u32le(out, kArray);
    append_u32le(out, kUint8);
    append_u64le(out, source.store_size());
    if (source.store()) append(out, ByteView(*source.store()));
  });
}

Bytes uri_entry(std::string_view uri) {
  return new_entry(kUriKey, [&](Bytes& out) {
    append_u32le(out, kString);
    append_u64le(out, uri.size());
    append(out, uri);
  });
}

// The padding entry's head; its payload, that many zeros, follows.
Bytes padding_head(std::uint64_t zeros) {
  return new_entry(kPaddingKey, [&](Bytes& out) {
    append_u32le(out, kArray);
    append_u32le(out, kUint8);
    append_u64le(out, zeros);
  });
}

// Rewrites drop these whatever their value type, and embed writes them
// anew. A "c2pa:padding" that is not ours (another type, other bytes, a
// second one) is dropped too, not refused: no reader takes anything from it,
// keeping it beside a new one would give the duplicate key that gguf-py and
// llama.cpp refuse, and refusing would leave a file those load unstrippable.
bool is_c2pa(std::string_view key) { return key == kStoreKey || key == kUriKey || key == kPaddingKey; }

// How many zeros a padding entry placed just before the tensor-info records
// must hold for the tensor data to start at an offset congruent to its old
// one modulo `block`; nullopt when no entry is needed (the data lands there
// anyway) or none can do it. `records_at` is where the entry would go.
std::optional<std::uint64_t> padding_for(const Layout& g, ByteView data, std::uint64_t records_at,
                                         std::uint64_t block) {
  if (block == 0 || !g.padded || g.tensor_data.size() < kMinSharedTensorData) return std::nullopt;
  const std::uint64_t old = data.size() - g.tensor_data.size();
  const std::uint64_t info_end = records_at + g.tensor_info.size();
  const std::uint64_t unpadded = info_end + (g.alignment - info_end % g.alignment) % g.alignment;
  if (unpadded % block == old % block) return std::nullopt;
  // The old offset is a multiple of the alignment; when the alignment divides
  // the block, so is every offset congruent to it, and the first one after
  // the records needs no alignment zeros.
  if (block % g.alignment != 0) return std::nullopt;
  const std::uint64_t entry_end = records_at + array_head_size(kPaddingKey) + g.tensor_info.size();
  return congruent_from(entry_end, old, block) - entry_end;
}

// Embed (with a source) or remove.
Result<Pieces> rewrite(ByteView data, const ManifestSource* source, std::uint64_t block) {
  Kept kept;
  std::uint64_t kept_count = 0;
  TW_TRY(const Layout g, walk(data, [&](const Entry& e) {
    if (is_c2pa(e.key)) return;
    ++kept_count;
    kept.add(e.record);
  }));

  std::optional<Bytes> store;
  std::optional<Bytes> uri;
  const std::uint64_t reserved = source != nullptr && source->reserved() ? *source->reserved() : 0;
  if (source != nullptr && source->has_store()) store = store_entry(*source);
  if (source != nullptr && source->uri()) uri = uri_entry(*source->uri());
  const std::uint64_t records_at =
      kHeaderSize + kept.size() + (store ? store->size() : 0) + reserved + (uri ? uri->size() : 0);
  // A strip drops the padding with the other C2PA entries.
  const std::optional<std::uint64_t> padding =
      source != nullptr ? padding_for(g, data, records_at, block) : std::nullopt;
  const bool pads = padding.has_value();
  const std::uint64_t zeros = padding.value_or(0);
  const bool added = store || uri || pads;
  if (!added) kept.add(g.tensor_info);

  Pieces out;
  Bytes header;
  append(header, kMagic);
  append_u32le(header, g.version);
  append_u64le(header, g.tensor_count);
  append_u64le(header, kept_count + (store ? 1 : 0) + (uri ? 1 : 0) + (pads ? 1 : 0));
  out.add_owned(std::move(header));
  std::move(kept).write_to(out);
  if (store) {
    // The new store's payload is what a data hash excludes.
    const std::uint64_t head = array_head_size(kStoreKey);
    out.mark_store(out.size() + head, store->size() - head + reserved);
    out.add_owned(std::move(*store));
    out.add_zeros(reserved);
  }
  if (uri) out.add_owned(std::move(*uri));
  if (pads) {
    out.add_owned(padding_head(zeros));
    out.add_zeros(zeros);
  }
  if (added) out.add_view(g.tensor_info);

  if (g.padded) {
    const std::uint64_t misalign = out.size() % g.alignment;
    out.add_zeros(misalign == 0 ? 0 : g.alignment - misalign);
  }
  out.add_view(g.tensor_data);
  return out;
}

// The value of the entry with `key`, or nullopt when there is none. Like
// every container, GGUF refuses a second C2PA entry of a kind once the file
// has been read through and before the entry's value type is looked at:
// gguf-py and llama.cpp refuse duplicate keys, and a reader must not pick
// one of two.
Result<std::optional<ByteView>> only_value(ByteView data, std::string_view key,
                                           Error (*duplicate)(std::string_view)) {
  std::optional<ByteView> found;
  bool twice = false;
  TW_CHECK(walk(data, [&](const Entry& e) {
    if (e.key != key) return;
    twice = twice || found.has_value();
    if (!found) found = e.value;
  }));
  if (twice) return duplicate("GGUF");
  return found;
}

// Views taken from the input lie within it.
std::uint64_t offset_in(ByteView data, ByteView part) {
  return static_cast<std::uint64_t>(part.data() - data.data());
}

constexpr std::string_view kSplitNo = "split.no";
constexpr std::string_view kSplitCount = "split.count";
constexpr std::string_view kTypeNames[] = {"UINT8", "INT8",   "UINT16", "INT16",  "UINT32", "INT32",  "FLOAT32",
                                           "BOOL",  "STRING", "ARRAY",  "UINT64", "INT64",  "FLOAT64"};
static_assert(std::size(kTypeNames) == std::size(kPayloadSize));

bool is_signed(std::uint32_t type) { return type == kInt8 || type == kInt16 || type == kInt32 || type == kInt64; }
bool is_integer(std::uint32_t type) {
  return is_signed(type) || type == kUint8 || type == kUint16 || type == kUint32 || type == kUint64;
}

// A split key's value (type code, then payload, as the walk checked it).
Result<std::uint64_t> split_number(std::string_view key, ByteView value) {
  Cursor c(value);
  std::uint32_t type;
  if (!c.u32le(&type)) return truncated();
  if (!is_integer(type)) {
    const std::string name = is_known(type) ? std::string(kTypeNames[type]) : "type " + std::to_string(type);
    return Error::malformed(std::string(key) + " is a " + name + ", not an integer");
  }
  const std::uint64_t size = kPayloadSize[type];
  std::uint64_t raw = 0;
  for (std::uint64_t i = 0; i < size; ++i) {
    std::uint8_t b;
    if (!c.u8(&b)) return truncated();
    raw |= std::uint64_t{b} << (8 * i);
  }
  if (is_signed(type)) {
    const std::uint64_t unused = 64 - 8 * size;
    const auto v = static_cast<std::int64_t>(raw << unused) >> unused;
    if (v < 0) return Error::malformed(std::string(key) + " is negative (" + std::to_string(v) + ")");
  }
  return raw;
}

}  // namespace

Result<std::optional<SplitKeys>> split_keys(ByteView data) {
  // Keys as views of the input: one per entry, each entry at least 13 bytes
  // of it, so this list costs about what the metadata does.
  std::vector<std::string_view> keys;
  std::optional<ByteView> no, count;
  TW_CHECK(walk(data, [&](const Entry& e) {
    keys.push_back(e.key);
    if (e.key == kSplitNo) no = e.value;
    if (e.key == kSplitCount) count = e.value;
  }));
  std::sort(keys.begin(), keys.end());
  if (auto twice = std::adjacent_find(keys.begin(), keys.end()); twice != keys.end())
    return Error::malformed("duplicate metadata key " + json::quoted(*twice));
  SplitKeys split{0, 0};
  if (no) {
    TW_TRY(split.no, split_number(kSplitNo, *no));
  }
  if (!count) return std::optional<SplitKeys>();
  TW_TRY(split.count, split_number(kSplitCount, *count));
  return std::optional<SplitKeys>(split);
}

Result<std::optional<StoreRange>> locate_store(ByteView data) {
  TW_TRY(const std::optional<ByteView> value, only_value(data, kStoreKey, Error::duplicate_manifest));
  if (!value) return std::optional<StoreRange>();

  auto not_bytes = [] { return Error::malformed("c2pa:manifest is not a UINT8 array"); };
  Cursor c(*value);
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
  TW_TRY(const std::optional<ByteView> value, only_value(data, kUriKey, Error::duplicate_uri));
  if (!value) return std::optional<std::string>();

  Cursor c(*value);
  std::uint32_t type;
  std::uint64_t len;
  ByteView uri;
  if (!c.u32le(&type)) return truncated();
  if (type != kString) return Error::malformed("c2pa:manifest.uri is not a string");
  if (!c.u64le(&len) || !c.take(len, &uri)) return truncated();
  if (!is_utf8(uri)) return Error::malformed("URI is not UTF-8");
  return std::optional<std::string>(text_of(uri));
}

Result<Pieces> embed(ByteView data, const ManifestSource& source, std::uint64_t block) {
  if (source.empty()) return Error::empty_source();
  return rewrite(data, &source, block);
}

Result<ByteView> tensor_data(ByteView data) {
  TW_TRY(const Layout g, walk(data, [](const Entry&) {}));
  return g.tensor_data;
}

Result<Pieces> remove(ByteView data) { return rewrite(data, nullptr, 0); }

namespace {

// ggml's tensor types, by code: elements per block and bytes per block;
// {0, 0} for the codes it no longer loads.
struct TensorType {
  std::string_view name;
  std::uint64_t block;
  std::uint64_t block_bytes;
};
constexpr TensorType kTensorTypes[] = {
    {"F32", 1, 4},        {"F16", 1, 2},       {"Q4_0", 32, 18},    {"Q4_1", 32, 20},     {"", 0, 0},
    {"", 0, 0},           {"Q5_0", 32, 22},    {"Q5_1", 32, 24},    {"Q8_0", 32, 34},     {"Q8_1", 32, 40},
    {"Q2_K", 256, 84},    {"Q3_K", 256, 110},  {"Q4_K", 256, 144},  {"Q5_K", 256, 176},   {"Q6_K", 256, 210},
    {"Q8_K", 256, 292},   {"IQ2_XXS", 256, 66}, {"IQ2_XS", 256, 74}, {"IQ3_XXS", 256, 98}, {"IQ1_S", 256, 50},
    {"IQ4_NL", 32, 18},   {"IQ3_S", 256, 110}, {"IQ2_S", 256, 82},  {"IQ4_XS", 256, 136}, {"I8", 1, 1},
    {"I16", 1, 2},        {"I32", 1, 4},       {"I64", 1, 8},       {"F64", 1, 8},        {"IQ1_M", 256, 56},
    {"BF16", 1, 2},       {"", 0, 0},          {"", 0, 0},          {"", 0, 0},           {"TQ1_0", 256, 54},
    {"TQ2_0", 256, 66},   {"", 0, 0},          {"", 0, 0},          {"", 0, 0},           {"MXFP4", 32, 17},
    {"NVFP4", 64, 36},    {"Q1_0", 128, 18},
};
static_assert(std::size(kTensorTypes) == 42 && kTensorTypes[30].name == "BF16" && kTensorTypes[39].name == "MXFP4");

constexpr std::uint64_t kMaxDims = 4;
constexpr std::uint64_t kMaxNameSize = 64;  // with its terminating zero
constexpr std::uint64_t kLargestCount = static_cast<std::uint64_t>(INT64_MAX);

// The name as llama.cpp compares it: a C string.
std::string_view c_name(std::string_view name) { return name.substr(0, name.find('\0')); }

std::string tensor_named(std::string_view name) { return "tensor " + json::quoted(name); }

// The bytes of one tensor-info record's data, or the fault llama.cpp finds
// in the record; the cursor is left at its offset field.
Result<std::uint64_t> tensor_size(Cursor& c, std::string_view name) {
  TW_TRY(const std::uint32_t dims, read_u32(c));
  if (dims > kMaxDims)
    return Error::malformed(tensor_named(name) + " has " + std::to_string(dims) + " dimensions, more than the " +
                            std::to_string(kMaxDims) + " llama.cpp allows");
  std::uint64_t ne[kMaxDims] = {1, 1, 1, 1};
  for (std::uint32_t j = 0; j < dims; ++j) {
    TW_TRY(ne[j], read_u64(c));
    if (ne[j] > kLargestCount)
      return Error::malformed(tensor_named(name) + " dimension " + std::to_string(j) + " is negative");
  }
  TW_TRY(const std::uint32_t code, read_u32(c));
  if (code >= std::size(kTensorTypes) || kTensorTypes[code].block == 0)
    return Error::malformed(tensor_named(name) + " has unknown type " + std::to_string(code));
  const TensorType& type = kTensorTypes[code];
  if (ne[0] % type.block != 0)
    return Error::malformed(tensor_named(name) + " of type " + std::string(type.name) + " has " +
                            std::to_string(ne[0]) + " elements a row, not a multiple of its block of " +
                            std::to_string(type.block));
  std::uint64_t elements = 1;
  for (std::uint64_t n : ne) {
    if (__builtin_mul_overflow(elements, n, &elements) || elements >= kLargestCount)
      return Error::malformed(tensor_named(name) + " has more elements than llama.cpp can count");
  }
  if (elements == 0) return std::uint64_t{0};
  std::uint64_t bytes = 0;
  if (__builtin_mul_overflow(elements / type.block, type.block_bytes, &bytes))
    return Error::malformed(tensor_named(name) + " has more bytes than llama.cpp can count");
  return bytes;
}

}  // namespace

Status check_tensors(ByteView data) {
  std::vector<std::string_view> keys;
  std::optional<ByteView> alignment;
  bool empty_key = false;
  TW_TRY(const Layout g, walk(data, [&](const Entry& e) {
    empty_key = empty_key || e.key.empty();
    if (!is_c2pa(e.key)) keys.push_back(e.key);
    if (e.key == kAlignmentKey && !alignment) alignment = e.value;
  }));
  if (empty_key) return Error::malformed("a metadata key is empty");
  std::sort(keys.begin(), keys.end());
  if (auto twice = std::adjacent_find(keys.begin(), keys.end()); twice != keys.end())
    return Error::malformed("duplicate metadata key " + json::quoted(*twice));
  if (alignment) {
    Cursor c(*alignment);
    std::uint32_t type = 0;
    if (!c.u32le(&type)) return truncated();
    if (type != kUint32) {
      const std::string name = is_known(type) ? std::string(kTypeNames[type]) : "type " + std::to_string(type);
      return Error::malformed(std::string(kAlignmentKey) + " is a " + name + ", not a UINT32");
    }
    const std::uint32_t value = read_u32_value(*alignment).value_or(0);
    if (!std::has_single_bit(value))
      return Error::malformed(std::string(kAlignmentKey) + " " + std::to_string(value) + " is not a power of two");
  }

  // Where each tensor's data must start, as llama.cpp lays it out.
  const std::uint64_t data_start = data.size() - g.tensor_data.size();
  std::uint64_t expected = 0;
  std::vector<std::string_view> names;
  Cursor c(g.tensor_info);
  for (std::uint64_t i = 0; i < g.tensor_count; ++i) {
    TW_TRY(const std::string_view name, gguf_string(c));
    if (name.size() >= kMaxNameSize)
      return Error::malformed(tensor_named(name) + " has a name of " + std::to_string(name.size()) +
                              " bytes, longer than the " + std::to_string(kMaxNameSize - 1) + " llama.cpp allows");
    names.push_back(c_name(name));
    TW_TRY(const std::uint64_t bytes, tensor_size(c, name));
    TW_TRY(const std::uint64_t offset, read_u64(c));
    if (offset % g.alignment != 0)
      return Error::malformed(tensor_named(name) + " data offset " + std::to_string(offset) +
                              " is not a multiple of the alignment " + std::to_string(g.alignment));
    if (offset != expected)
      return Error::malformed(tensor_named(name) + " data offset is " + std::to_string(offset) +
                              ", but llama.cpp expects " + std::to_string(expected) +
                              ": the end of the tensor data before it, aligned to " + std::to_string(g.alignment));
    if (offset > data.size() - data_start || bytes > data.size() - data_start - offset)
      return Error::malformed(tensor_named(name) + " data, " + std::to_string(bytes) + " bytes from byte " +
                              std::to_string(data_start + offset) + ", goes past the end of the file (" +
                              std::to_string(data.size()) + " bytes)");
    // It lies within the file, so its padded end does not overflow; and
    // the offset, equal to the padded end before, lies at most an
    // alignment past the file's end, so data_start + offset above does not.
    expected = offset + bytes + (g.alignment - bytes % g.alignment) % g.alignment;
  }
  std::sort(names.begin(), names.end());
  if (auto twice = std::adjacent_find(names.begin(), names.end()); twice != names.end())
    return Error::malformed("tensor name " + json::quoted(*twice) + " appears twice");
  return ok();
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
