#include "containers/safetensors.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "core/base64.h"
#include "core/layout.h"
#include "core/json.h"

namespace tarnwick::safetensors {
namespace {

constexpr std::uint64_t kLengthSize = 8;
constexpr std::uint64_t kAlignment = 8;  // of the tensor data, as written
// The format's own loader refuses longer headers.
constexpr std::string_view kMetadataKey = "__metadata__";
static_assert(kMetadataKey.size() == 12);

// Wider than JSON's whitespace: form feed passes the format test, and the
// parser then rejects it.
constexpr bool is_format_space(std::uint8_t c) {
  return c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x20;
}

// The header bytes, of a length the format allows.
Result<ByteView> header_of(ByteView data) {
  TW_TRY(const HeaderBounds bounds, header_bounds(data));
  if (bounds.end - bounds.start > kMaxHeaderSize) {
    return Error::malformed("header longer than " + std::to_string(kMaxHeaderSize) + " bytes");
  }
  return data.subspan(bounds.start, bounds.end - bounds.start);
}

// What a member's key means here. Keys are compared decoded, as every JSON
// reader compares them: a key spelt with escapes is the same key.
enum class Key : std::uint8_t { Other, Metadata, Store, Uri };

Key classify(std::string_view key) {
  if (key == kMetadataKey) return Key::Metadata;
  if (key == kStoreKey) return Key::Store;
  if (key == kUriKey) return Key::Uri;
  return Key::Other;
}

enum class Mode : std::uint8_t { Read, Remove, Embed };

// One pass over a header, following its structure. A metadata object is an
// object that is the value of a "__metadata__" member, at any depth.
//
// Reading, it notes the store strings (members "c2pa:manifest" of every
// metadata object, as raw text) and the URI members of the first top-level
// metadata object. Rewriting, it hands the header on to a Writer without the
// C2PA members of any metadata object, so nothing a reader could find
// survives; then embed appends the new members to the first top-level
// metadata object (added when missing), and remove drops the top-level
// metadata objects left empty.
class HeaderPass final : public json::Events {
 public:
  explicit HeaderPass(Mode mode, json::Writer* out = nullptr, const ManifestSource* source = nullptr)
      : mode_(mode), out_(out), source_(source) {}

  void open(bool object) override;
  void close() override;
  void key(std::string_view text) override;
  void string_value(std::string_view text, std::size_t raw_begin, std::size_t raw_end) override;
  void scalar(std::string_view text) override;

  bool top_is_object() const { return top_is_object_; }
  bool metadata_not_object() const { return metadata_not_object_; }
  std::size_t stores() const { return stores_; }
  // The first store string's raw text, relative to the header's first byte.
  std::pair<std::size_t, std::size_t> store() const { return store_; }
  std::size_t uris() const { return uris_; }
  std::optional<std::string> uri() && { return std::move(uri_); }
  // Where embed wrote the new store's text in the output, if it did.
  const std::optional<StoreRange>& placed() const { return placed_; }

 private:
  struct Level {
    bool object;
    bool metadata;
    bool first_top_metadata;
    bool drop_if_empty;
    json::Writer::Mark mark;  // where its member began in the output
  };
  // How the value starting now stands in its container.
  struct Place {
    bool member;  // the value of an object member (key_ says which)
    bool first_top_metadata;
  };

  bool dropped(bool opens);
  Place value_starts(bool object);
  void add_members();

  const Mode mode_;
  json::Writer* const out_;
  const ManifestSource* const source_;
  std::vector<Level> levels_;
  Key key_ = Key::Other;  // of the member whose value comes next
  json::Writer::Mark key_mark_{};
  std::size_t skip_depth_ = 0;  // inside a dropped member's value
  bool drop_value_ = false;     // the next value is a dropped member's
  bool top_is_object_ = false;
  bool seen_metadata_ = false;  // the first top-level "__metadata__" has come
  bool metadata_not_object_ = false;
  std::size_t stores_ = 0;
  std::pair<std::size_t, std::size_t> store_{};
  std::size_t uris_ = 0;
  std::optional<std::string> uri_;
  std::optional<StoreRange> placed_;
};

// True when the value starting here belongs to a dropped member.
bool HeaderPass::dropped(bool opens) {
  if (skip_depth_ != 0) {
    if (opens) ++skip_depth_;
    return true;
  }
  if (drop_value_) {
    drop_value_ = false;
    if (opens) skip_depth_ = 1;
    return true;
  }
  return false;
}

HeaderPass::Place HeaderPass::value_starts(bool object) {
  if (levels_.empty()) top_is_object_ = object;
  const bool member = !levels_.empty() && levels_.back().object;
  Place place{member, false};
  if (!member) return place;
  if (levels_.size() == 1 && key_ == Key::Metadata && !seen_metadata_) {
    seen_metadata_ = true;
    place.first_top_metadata = object;
    metadata_not_object_ = !object;
  }
  if (levels_.back().first_top_metadata && key_ == Key::Uri) ++uris_;
  return place;
}

void HeaderPass::open(bool object) {
  if (dropped(true)) return;
  const Place place = value_starts(object);
  const bool metadata = object && place.member && key_ == Key::Metadata;
  const bool drop_if_empty = mode_ == Mode::Remove && metadata && levels_.size() == 1;
  levels_.push_back(Level{object, metadata, place.first_top_metadata, drop_if_empty, key_mark_});
  if (out_ != nullptr) out_->open(object);
}

void HeaderPass::close() {
  if (skip_depth_ != 0) {
    --skip_depth_;
    return;
  }
  const Level level = levels_.back();
  levels_.pop_back();
  if (out_ == nullptr) return;
  if (mode_ == Mode::Embed && level.first_top_metadata) add_members();
  if (mode_ == Mode::Embed && levels_.empty() && level.object && !seen_metadata_) {
    out_->key(kMetadataKey);
    out_->open(true);
    add_members();
    out_->close();
  }
  if (level.drop_if_empty && out_->container_empty()) {
    out_->rollback(level.mark);
    return;
  }
  out_->close();
}

void HeaderPass::key(std::string_view text) {
  if (skip_depth_ != 0) return;
  key_ = classify(text);
  if (out_ == nullptr) return;
  if (levels_.back().metadata && (key_ == Key::Store || key_ == Key::Uri)) {
    drop_value_ = true;
    return;
  }
  if (levels_.size() == 1) key_mark_ = out_->mark();
  out_->key(text);
}

void HeaderPass::string_value(std::string_view text, std::size_t raw_begin, std::size_t raw_end) {
  if (dropped(false)) return;
  const Place place = value_starts(false);
  if (place.member && levels_.back().metadata && key_ == Key::Store && ++stores_ == 1) {
    store_ = {raw_begin, raw_end};
  }
  if (place.member && levels_.back().first_top_metadata && key_ == Key::Uri && uris_ == 1) {
    uri_ = std::string(text);
  }
  if (out_ != nullptr) out_->string_value(text, raw_begin, raw_end);
}

void HeaderPass::scalar(std::string_view text) {
  if (dropped(false)) return;
  value_starts(false);
  if (out_ != nullptr) out_->scalar(text);
}

// The source's members, store first.
void HeaderPass::add_members() {
  if (source_->has_store()) {
    out_->key(kStoreKey);
    // A reserved store is at most what the header's bound lets through.
    const std::string text = source_->store() ? base64::encode(*source_->store())
                                              : base64::encode(Bytes(static_cast<std::size_t>(source_->store_size())));
    out_->string_value(text, 0, 0);
    // Base64 text needs no escapes: it ends just before the closing quote.
    placed_ = StoreRange{out_->mark().size - 1 - text.size(), text.size()};
  }
  if (source_->uri()) {
    out_->key(kUriKey);
    out_->string_value(*source_->uri(), 0, 0);
  }
}

// A header the rewriting operations and read_uri accept: bounded, UTF-8 and
// JSON, with the parse's tokens handed to `pass`.
Status parse_header(ByteView header, HeaderPass& pass) {
  if (!is_utf8(header)) return Error::malformed("header is not UTF-8");
  if (std::string error = json::parse(text_of(header), &pass); !error.empty()) {
    return Error::malformed(std::move(error));
  }
  if (!pass.top_is_object()) return Error::malformed("header is not a JSON object");
  return ok();
}

// Bytes below 0x20. Only these can make the rewritten header longer: a raw
// control character in a string is written as an escape of up to 6 bytes;
// everything else is written as long as it stands or shorter.
std::uint64_t count_controls(ByteView text) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  std::uint64_t n = 0;
  std::size_t i = 0;
  for (; text.size() - i >= 8; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, text.data() + i, 8);
    if (((w - kOnes * 0x20) & ~w & kHighs) == 0) continue;  // none in these 8
    for (std::size_t j = i; j < i + 8; ++j) n += text[j] < 0x20;
  }
  for (; i < text.size(); ++i) n += text[i] < 0x20;
  return n;
}

// Embed (with a source) or remove: the header streamed through the edits
// into the new file. The buffer is reserved at a bound of the new header's
// length, so it is never moved while it grows: the peak is one header.
Error result_too_large() {
  return Error::too_large("the result's header would be longer than " + std::to_string(kMaxHeaderSize) + " bytes");
}

Result<Pieces> rewrite(ByteView data, const ManifestSource* source, std::uint64_t block) {
  TW_TRY(const ByteView header, header_of(data));
  // Refused before any of it is made: the format's readers (ours too) would
  // refuse the file.
  if (source != nullptr && source->has_store() &&
      (source->store_size() > kMaxHeaderSize || base64::encoded_size(source->store_size()) > kMaxHeaderSize))
    return result_too_large();
  // Length, padding, and the "__metadata__" object and keys around new members.
  std::uint64_t bound = header.size() + 5 * count_controls(header) + kLengthSize + kAlignment + block + 64;
  if (source != nullptr && source->has_store()) bound += base64::encoded_size(source->store_size());
  if (source != nullptr && source->uri()) bound += source->uri()->size() * 6;  // all escaped
  Bytes head;
  head.reserve(static_cast<std::size_t>(bound));
  head.resize(kLengthSize);
  json::Writer writer(head);
  HeaderPass pass(source != nullptr ? Mode::Embed : Mode::Remove, &writer, source);
  TW_CHECK(parse_header(header, pass));
  if (source != nullptr && pass.metadata_not_object()) {
    return Error::malformed("__metadata__ is not a JSON object");
  }
  if ((head.size() + kAlignment - 1) / kAlignment * kAlignment - kLengthSize > kMaxHeaderSize)
    return result_too_large();
  const std::uint64_t old_offset = kLengthSize + header.size();
  Pieces out = assemble(std::move(head), data.subspan(old_offset), block, old_offset);
  if (pass.placed()) out.mark_store(pass.placed()->offset, pass.placed()->length);
  return out;
}

}  // namespace

Result<HeaderBounds> header_bounds(ByteView data) {
  Cursor cursor(data);
  std::uint64_t length;
  if (!cursor.u64le(&length)) return Error::malformed("file shorter than SafeTensors header");
  if (!fits(kLengthSize, length, data.size())) return Error::malformed("header length exceeds file");
  return HeaderBounds{kLengthSize, kLengthSize + length};
}

bool is_header_space(std::uint8_t c) { return is_format_space(c); }

bool is_safetensors(ByteView data) {
  auto bounds = header_bounds(data);
  if (!bounds.ok()) return false;
  for (std::uint64_t i = bounds->start; i < bounds->end; ++i) {
    if (!is_format_space(data[i])) return data[i] == '{';
  }
  return false;
}

Pieces assemble(Bytes head, ByteView rest, std::uint64_t block, std::uint64_t old_offset) {
  std::uint64_t end = (head.size() + kAlignment - 1) / kAlignment * kAlignment;
  // The loaders need the data 8-aligned: for a source whose data is not,
  // that alignment is all the padding gives. Past the length the format's
  // loader accepts, the congruence is given up rather than the file.
  if (block != 0 && rest.size() >= kMinSharedTensorData && old_offset % kAlignment == 0) {
    const std::uint64_t congruent = congruent_from(head.size(), old_offset, block);
    if (congruent - kLengthSize <= kMaxHeaderSize) end = congruent;
  }
  head.resize(static_cast<std::size_t>(end), ' ');
  const std::uint64_t length = head.size() - kLengthSize;
  for (std::uint64_t i = 0; i < kLengthSize; ++i) head[i] = static_cast<std::uint8_t>(length >> (8 * i));
  Pieces out;
  out.add_owned(std::move(head));
  out.add_view(rest);
  return out;
}

// Faults of the header are reported as the exclusion of the store's byte
// range failing, since that is what the range is found for.
Result<std::optional<StoreRange>> locate_store(ByteView data) {
  TW_TRY(const ByteView header, header_of(data));
  if (!is_utf8(header)) return Error::malformed_exclusion("header is not UTF-8");
  HeaderPass pass(Mode::Read);
  if (std::string error = json::parse(text_of(header), &pass); !error.empty()) {
    return Error::malformed_exclusion("header length field does not span valid JSON: " + error);
  }
  if (pass.stores() == 0) return std::optional<StoreRange>();
  if (pass.stores() > 1) return Error::duplicate_manifest("SafeTensors");
  // Taken raw from the input: escapes are not resolved, so an escaped value
  // fails as Base64.
  const auto [begin, end] = pass.store();
  const StoreRange range{kLengthSize + begin, end - begin};
  if (!base64::decoded_size(data.subspan(range.offset, range.length))) {
    return Error::malformed_reference("value is not valid Base64");
  }
  return std::optional<StoreRange>(range);
}

// A second URI member is refused once the header has parsed and before its
// value's type is looked at, as in every container.
Result<std::optional<std::string>> read_uri(ByteView data) {
  TW_TRY(const ByteView header, header_of(data));
  HeaderPass pass(Mode::Read);
  TW_CHECK(parse_header(header, pass));
  if (pass.uris() > 1) return Error::duplicate_uri("SafeTensors");
  return std::move(pass).uri();
}

Result<Pieces> embed(ByteView data, const ManifestSource& source, std::uint64_t block) {
  if (source.empty()) return Error::empty_source();
  return rewrite(data, &source, block);
}

Result<Pieces> remove(ByteView data, std::uint64_t block) { return rewrite(data, nullptr, block); }

namespace {

// The dtypes the loader knows, with their sizes in bits.
struct Dtype {
  std::string_view name;
  std::uint64_t bits;
};
constexpr Dtype kDtypes[] = {
    {"BOOL", 8},     {"F4", 4},          {"F6_E2M3", 6},     {"F6_E3M2", 6}, {"U8", 8},   {"I8", 8},
    {"F8_E5M2", 8},  {"F8_E4M3", 8},     {"F8_E8M0", 8},     {"F8_E4M3FNUZ", 8},         {"F8_E5M2FNUZ", 8},
    {"I16", 16},     {"U16", 16},        {"F16", 16},        {"BF16", 16},   {"I32", 32}, {"U32", 32},
    {"F32", 32},     {"C64", 64},        {"F64", 64},        {"I64", 64},    {"U64", 64},
};

const Dtype* dtype_named(std::string_view name) {
  for (const Dtype& d : kDtypes)
    if (d.name == name) return &d;
  return nullptr;
}

// A JSON number that is a non-negative integer of 64 bits, as the loader
// reads sizes and offsets: digits only, no fraction, no exponent.
std::optional<std::uint64_t> u64_of(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return std::nullopt;
    v = v * 10 + digit;
  }
  return v;
}

// Kept for every tensor of a header that may hold millions: about as many
// bytes as the shortest entry a header can spell, its name held apart.
struct TensorEntry {
  std::uint64_t offsets[2] = {0, 0};
  std::uint64_t elements = 1;
  const Dtype* dtype = nullptr;
  std::uint32_t name_at = 0;  // in LayoutPass::names; a header is shorter than 2^32 bytes
  std::uint32_t name_size = 0;
  std::uint8_t offset_count = 0;
  bool has_shape = false;
  bool has_offsets = false;
  bool overflow = false;  // the shape's product passes 64 bits
};

// One pass over a header, keeping each tensor's entry. The parser cannot be
// stopped, so the first fault is kept and later tokens ignored.
class LayoutPass final : public json::Events {
 public:
  void open(bool object) override {
    const Role role = value_role(object ? Opened::Object : Opened::Array);
    roles_.push_back(role);
  }
  void close() override {
    const Role role = roles_.back();
    roles_.pop_back();
    if (role == Role::Tensor) end_tensor();
    if (role == Role::Offsets && !failed_ && tensors.back().offset_count != 2) bad_offsets();
  }
  void key(std::string_view text) override {
    const Role in = roles_.back();
    if (in == Role::Top) {
      key_.assign(text);
      if (text == kMetadataKey && std::exchange(seen_metadata_, true)) fail("__metadata__ appears twice in the header");
    } else if (in == Role::Tensor) {
      field_ = text == "dtype" ? Field::Dtype : text == "shape" ? Field::Shape
             : text == "data_offsets" ? Field::Offsets : Field::Other;
      if (field_ != Field::Other) {
        const auto bit = std::uint8_t{1} << static_cast<unsigned>(field_);
        if (fields_ & bit) fail(current() + " has two " + json::quoted(text) + " members");
        fields_ |= bit;
      }
    } else if (in == Role::Metadata) {
      key_.assign(text);
    }
  }
  void string_value(std::string_view text, std::size_t, std::size_t) override {
    if (value_role(Opened::String) == Role::Dtype && !failed_) {
      TensorEntry& t = tensors.back();
      t.dtype = dtype_named(text);
      if (t.dtype == nullptr)
        fail(current() + " has dtype " + json::quoted(text) + ", which the safetensors library does not know");
    }
  }
  void scalar(std::string_view text) override {
    const Role role = value_role(Opened::Scalar, text == "null");
    if (failed_ || (role != Role::ShapeItem && role != Role::OffsetItem)) return;
    TensorEntry& t = tensors.back();
    const std::optional<std::uint64_t> v = u64_of(text);
    if (role == Role::ShapeItem) {
      if (!v) return bad_shape();
      // As the loader folds it: an overflow stands, whatever follows.
      if (!t.overflow) t.overflow = __builtin_mul_overflow(t.elements, *v, &t.elements);
    } else {
      if (!v || t.offset_count == 2) return bad_offsets();
      t.offsets[t.offset_count++] = *v;
    }
  }

  std::string_view name_of(const TensorEntry& t) const {
    return std::string_view(names).substr(t.name_at, t.name_size);
  }

  std::optional<Error> error;
  std::vector<TensorEntry> tensors;
  std::string names;  // the tensors' names, back to back

 private:
  enum class Role : std::uint8_t {
    Top, Metadata, Tensor, Dtype, Shape, ShapeItem, Offsets, OffsetItem, Other,
  };
  enum class Opened : std::uint8_t { Object, Array, String, Scalar };
  enum class Field : std::uint8_t { Dtype, Shape, Offsets, Other };

  // The role of the value starting now, checked against what the loader
  // takes there; the container that holds it decides.
  Role value_role(Opened opened, bool null = false) {
    if (roles_.empty()) return Role::Top;  // parse_header refuses a top that is not an object
    switch (roles_.back()) {
      case Role::Top:
        if (key_ == kMetadataKey) {
          if (opened != Opened::Object && !null) fail("__metadata__ is not a JSON object");
          return Role::Metadata;
        }
        if (failed_) return Role::Other;
        tensors.emplace_back();
        tensors.back().name_at = static_cast<std::uint32_t>(names.size());
        tensors.back().name_size = static_cast<std::uint32_t>(key_.size());
        names += key_;
        if (opened != Opened::Object) {
          fail("tensor " + json::quoted(key_) + " is not a JSON object");
          return Role::Other;
        }
        fields_ = 0;
        return Role::Tensor;
      case Role::Metadata:
        if (opened != Opened::String) fail("__metadata__[" + json::quoted(key_) + "] is not a string");
        return Role::Other;
      case Role::Tensor:
        switch (field_) {
          case Field::Dtype:
            if (opened != Opened::String) fail(current() + " dtype is not a string");
            return Role::Dtype;
          case Field::Shape:
            if (opened != Opened::Array) bad_shape();
            tensors.back().has_shape = true;
            return Role::Shape;
          case Field::Offsets:
            if (opened != Opened::Array) bad_offsets();
            tensors.back().has_offsets = true;
            return Role::Offsets;
          case Field::Other:
            return Role::Other;
        }
        return Role::Other;
      case Role::Shape:
        if (opened != Opened::Scalar) bad_shape();
        return Role::ShapeItem;
      case Role::Offsets:
        if (opened != Opened::Scalar) bad_offsets();
        return Role::OffsetItem;
      default:
        return Role::Other;
    }
  }
  void end_tensor() {
    const TensorEntry& t = tensors.back();
    const char* missing = t.dtype == nullptr ? "dtype"
                          : !t.has_shape       ? "shape"
                          : !t.has_offsets     ? "data_offsets"
                                               : nullptr;
    if (missing != nullptr) fail(current() + " has no " + missing);
  }
  void bad_shape() { fail(current() + " shape is not a list of non-negative integers"); }
  void bad_offsets() { fail(current() + " data_offsets is not a pair of non-negative integers"); }
  void fail(std::string text) {
    if (!failed_) error = Error::malformed(std::move(text));
    failed_ = true;
  }
  // The tensor being read, as messages name it.
  std::string current() const { return "tensor " + json::quoted(name_of(tensors.back())); }

  std::vector<Role> roles_;
  std::string key_;  // of the member whose value comes next, at the top or in __metadata__
  Field field_ = Field::Other;
  std::uint8_t fields_ = 0;  // the fields the current tensor has had
  bool seen_metadata_ = false;
  bool failed_ = false;
};

std::string range_text(const TensorEntry& t) {
  return "[" + std::to_string(t.offsets[0]) + ", " + std::to_string(t.offsets[1]) + ")";
}

// a + b in decimal, however large.
std::string sum_text(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum;
  if (!__builtin_add_overflow(a, b, &sum)) return std::to_string(sum);
  __extension__ unsigned __int128 v = static_cast<unsigned __int128>(a) + b;
  std::string digits;
  for (; v != 0; v /= 10) digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
  return digits;
}

}  // namespace

Status check_layout(ByteView data) {
  TW_TRY(const ByteView header, header_of(data));
  LayoutPass pass;
  if (!is_utf8(header)) return Error::malformed("header is not UTF-8");
  if (std::string error = json::parse(text_of(header), &pass); !error.empty())
    return Error::malformed(std::move(error));
  if (pass.error) return *pass.error;
  std::vector<TensorEntry>& tensors = pass.tensors;
  auto tensor_text = [&](const TensorEntry& t) { return "tensor " + json::quoted(pass.name_of(t)); };

  std::vector<std::uint32_t> by_name(tensors.size());
  for (std::uint32_t i = 0; i < by_name.size(); ++i) by_name[i] = i;
  auto name = [&](std::uint32_t i) { return pass.name_of(tensors[i]); };
  std::sort(by_name.begin(), by_name.end(), [&](auto a, auto b) { return name(a) < name(b); });
  auto same = [&](std::uint32_t a, std::uint32_t b) { return name(a) == name(b); };
  if (auto twice = std::adjacent_find(by_name.begin(), by_name.end(), same); twice != by_name.end())
    return Error::malformed(tensor_text(tensors[*twice]) + " is named twice in the header");

  std::sort(tensors.begin(), tensors.end(), [](const TensorEntry& a, const TensorEntry& b) {
    return std::pair(a.offsets[0], a.offsets[1]) < std::pair(b.offsets[0], b.offsets[1]);
  });
  std::uint64_t end = 0;
  const TensorEntry* before = nullptr;
  for (const TensorEntry& t : tensors) {
    const auto [start, stop] = t.offsets;
    if (stop < start)
      return Error::malformed(tensor_text(t) + " data_offsets " + range_text(t) + " end before they start");
    if (start < end)
      return Error::malformed(tensor_text(t) + " data " + range_text(t) + " overlaps " + tensor_text(*before) +
                              " data " + range_text(*before));
    if (start > end)
      return Error::malformed(tensor_text(t) + " data " + range_text(t) +
                              " leaves a gap: the tensor data before it ends at " + std::to_string(end));
    std::uint64_t bits;
    if (t.overflow || __builtin_mul_overflow(t.elements, t.dtype->bits, &bits))
      return Error::malformed(tensor_text(t) + " has a shape whose size in " + std::string(t.dtype->name) +
                              " overflows 64 bits");
    if (bits % 8 != 0)
      return Error::malformed(tensor_text(t) + " has " + std::to_string(t.elements) + " elements of dtype " +
                              std::string(t.dtype->name) + ", which do not fill whole bytes");
    if (stop - start != bits / 8)
      return Error::malformed(tensor_text(t) + " data " + range_text(t) + " is " + std::to_string(stop - start) +
                              " bytes, but its dtype " + std::string(t.dtype->name) + " and shape make " +
                              std::to_string(bits / 8));
    end = stop;
    before = &t;
  }
  const std::uint64_t data_start = kLengthSize + header.size();
  if (end != data.size() - data_start)
    return Error::malformed("the tensor data ends at byte " + sum_text(data_start, end) + ", but the file is " +
                            std::to_string(data.size()) + " bytes");
  return ok();
}

namespace {

// One pass over an index, keeping the weight_map's members. The parser
// cannot be stopped, so the first fault is kept and later tokens ignored.
class IndexPass final : public json::Events {
 public:
  void open(bool object) override {
    if (depth_ == 0 && !object) fail("the index is not a JSON object");
    if (depth_ == 1 && weight_map_value_) {
      if (object) in_map_ = true;
      else fail("the index's weight_map is not an object");
    }
    if (depth_ == 2 && in_map_) not_a_string();
    weight_map_value_ = false;
    ++depth_;
  }
  void close() override {
    --depth_;
    if (depth_ == 1) in_map_ = false;
  }
  void key(std::string_view text) override {
    if (depth_ == 1) {
      weight_map_value_ = text == "weight_map";
      if (weight_map_value_ && seen_map) fail("the index has more than one weight_map");
      seen_map = seen_map || weight_map_value_;
    } else if (depth_ == 2 && in_map_) {
      tensor_.assign(text);
    }
  }
  void string_value(std::string_view text, std::size_t, std::size_t) override {
    if (depth_ == 2 && in_map_ && !failed_) entries.emplace_back(tensor_, text);
    value(false);
  }
  void scalar(std::string_view) override { value(true); }

  std::optional<Error> error;
  bool seen_map = false;
  std::vector<std::pair<std::string, std::string>> entries;  // tensor, shard

 private:
  void value(bool scalar) {
    if (depth_ == 0) fail("the index is not a JSON object");
    if (depth_ == 1 && weight_map_value_) fail("the index's weight_map is not an object");
    if (depth_ == 2 && in_map_ && scalar) not_a_string();
    weight_map_value_ = false;
  }
  void not_a_string() { fail("weight_map[" + json::quoted(tensor_) + "] is not a string"); }
  void fail(std::string text) {
    if (!failed_) error = Error::malformed(std::move(text));
    failed_ = true;
  }

  std::size_t depth_ = 0;
  bool weight_map_value_ = false;  // the next value is the weight_map's
  bool in_map_ = false;
  bool failed_ = false;
  std::string tensor_;
};

}  // namespace

Status check_index_size(std::uint64_t size) {
  if (size > kMaxIndexSize)
    return Error::too_large("the index is " + std::to_string(size) + " bytes, more than the " +
                            std::to_string(kMaxIndexSize) + " an index may have");
  return ok();
}

Result<std::vector<std::string>> index_shards(ByteView index) {
  TW_CHECK(check_index_size(index.size()));
  if (!is_utf8(index)) return Error::malformed("the index is not UTF-8");
  IndexPass pass;
  if (std::string error = json::parse(text_of(index), &pass); !error.empty())
    return Error::malformed("the index is not JSON: " + error);
  if (pass.error) return *pass.error;
  if (!pass.seen_map) return Error::malformed("the index has no weight_map");
  auto& entries = pass.entries;
  if (entries.empty()) return Error::malformed("the index's weight_map is empty");
  // A tensor named twice is harmless only when both name one shard.
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 1; i < entries.size(); ++i)
    if (entries[i].first == entries[i - 1].first && entries[i].second != entries[i - 1].second)
      return Error::malformed("weight_map names " + json::quoted(entries[i].first) + " twice, in " +
                              json::quoted(entries[i - 1].second) + " and " + json::quoted(entries[i].second));
  std::vector<std::string> shards;
  shards.reserve(entries.size());
  for (auto& entry : entries) shards.push_back(std::move(entry.second));
  std::sort(shards.begin(), shards.end());
  shards.erase(std::unique(shards.begin(), shards.end()), shards.end());
  return shards;
}

}  // namespace tarnwick::safetensors
