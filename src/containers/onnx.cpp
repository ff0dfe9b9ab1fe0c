#include "containers/onnx.h"

#include <algorithm>
#include <iterator>

#include "core/base64.h"

namespace tarnwick::onnx {
namespace {

Error truncated() { return Error::malformed("unexpected end of ONNX protobuf"); }

// What follows a key, by wire type (the key's low 3 bits).
enum class Payload : std::uint8_t { Varint, Fixed, LengthPrefixed, Unsupported };
struct WireType {
  Payload payload;
  std::uint8_t fixed_size;
};
constexpr WireType kWireTypes[] = {
    {Payload::Varint, 0},          // 0 varint
    {Payload::Fixed, 8},           // 1 64-bit
    {Payload::LengthPrefixed, 0},  // 2 length-delimited
    {Payload::Unsupported, 0},     // 3 start group
    {Payload::Unsupported, 0},     // 4 end group
    {Payload::Fixed, 4},           // 5 32-bit
    {Payload::Unsupported, 0},     // 6
    {Payload::Unsupported, 0},     // 7
};
static_assert(std::size(kWireTypes) == 8);
static_assert(kWireTypes[1].fixed_size == 8 && kWireTypes[5].fixed_size == 4);

constexpr int kMaxVarintBytes = 10;

// protobuf reads a key as 32 bits: onnxruntime drops the higher ones and so
// reads another field, onnx refuses the model. No reading of a wider key
// agrees with both, so none is given.
constexpr std::uint64_t kMaxFieldNumber = (std::uint64_t{1} << 29) - 1;

// ModelProto.metadata_props, and the key and value of StringStringEntryProto.
constexpr std::uint64_t kMetadataProps = 14;
constexpr std::uint64_t kEntryKey = 1;
constexpr std::uint64_t kEntryValue = 2;

// Keys of wire type 2, as written in front of new entries.
constexpr std::uint8_t kMetadataPropsKey = (kMetadataProps << 3) | kLengthDelimited;
constexpr std::uint8_t kEntryKeyKey = (kEntryKey << 3) | kLengthDelimited;
constexpr std::uint8_t kEntryValueKey = (kEntryValue << 3) | kLengthDelimited;
static_assert(kMetadataPropsKey == 0x72 && kEntryKeyKey == 0x0A && kEntryValueKey == 0x12);
static_assert(kWireTypes[kLengthDelimited].payload == Payload::LengthPrefixed);
// A key's length is written as one byte, which is its varint only below 128.
static_assert(kStoreKey.size() < 128 && kUriKey.size() < 128);

Status check_tag(const Field& field) {
  if (field.number > kMaxFieldNumber) return Error::malformed("field tag beyond 32 bits");
  return ok();
}

bool is_field(const Field& field, std::uint64_t number) {
  return field.number == number && field.wire_type == kLengthDelimited;
}

ByteView payload_of(ByteView data, const Field& field) {
  return data.subspan(static_cast<std::size_t>(field.payload_start),
                      static_cast<std::size_t>(field.payload_end - field.payload_start));
}

ByteView range_of(ByteView data, std::uint64_t start, std::uint64_t end) {
  return data.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

bool is_key(const std::optional<ByteView>& key, std::string_view name) {
  return key && text_of(*key) == name;
}

std::uint64_t varint_size(std::uint64_t v) {
  std::uint64_t n = 1;
  for (; v >= 0x80; v >>= 7) ++n;
  return n;
}

// Length of the entry message that encode_entry writes after 0x72 and its
// length: key field, then value field.
std::uint64_t entry_payload_size(std::string_view key, std::uint64_t value_size) {
  return 3 + key.size() + varint_size(value_size) + value_size;
}

std::uint64_t entry_size(std::string_view key, std::uint64_t value_size) {
  const std::uint64_t payload = entry_payload_size(key, value_size);
  return 1 + varint_size(payload) + payload;
}

// Everything of a new entry up to its value; `value_size` bytes must follow.
void write_entry_head(Bytes& out, std::string_view key, std::uint64_t value_size) {
  out.push_back(kMetadataPropsKey);
  write_varint(out, entry_payload_size(key, value_size));
  out.push_back(kEntryKeyKey);
  out.push_back(static_cast<std::uint8_t>(key.size()));
  append(out, key);
  out.push_back(kEntryValueKey);
  write_varint(out, value_size);
}

// The model's own framing and tags are checked whole before any entry is
// examined, so a fault there is the one reported even when an earlier entry
// is broken too.
template <class Visit>
Status for_each_top_level_field(ByteView model, Visit&& visit) {
  TW_CHECK(for_each_field(model, check_tag));
  return for_each_field(model, visit);
}

// The model without its C2PA entries: runs of kept fields as single views.
Result<Pieces> without_c2pa_entries(ByteView model) {
  Pieces out;
  std::uint64_t kept_start = 0, kept_end = 0;
  TW_CHECK(for_each_top_level_field(model, [&](const Field& field) -> Status {
    if (is_field(field, kMetadataProps)) {
      TW_TRY(const bool c2pa, entry_is_c2pa(payload_of(model, field)));
      if (c2pa) {
        out.add_view(range_of(model, kept_start, kept_end));
        kept_start = kept_end = field.end;
        return ok();
      }
    }
    kept_end = field.end;
    return ok();
  }));
  out.add_view(range_of(model, kept_start, kept_end));
  return out;
}

}  // namespace

Result<Varint> read_varint(ByteView data, std::uint64_t pos) {
  Cursor in(data, pos);
  std::uint64_t value = 0;
  for (int i = 0;; ++i) {
    std::uint8_t b;
    if (!in.u8(&b)) return truncated();
    if (i == kMaxVarintBytes) return Error::malformed("varint overflow");
    // On the tenth byte only bit 0 still lands inside 64 bits.
    value |= std::uint64_t{b & 0x7Fu} << (7 * i);
    if (b < 0x80) return Varint{value, in.pos()};
  }
}

Result<Field> read_field(ByteView data, std::uint64_t pos) {
  TW_TRY(const Varint key, read_varint(data, pos));
  const std::uint64_t wire_type = key.value & 7;
  std::uint64_t payload_start = key.next;
  Cursor payload(data, key.next);
  switch (kWireTypes[wire_type].payload) {
    case Payload::Varint: {
      TW_TRY(const Varint value, read_varint(data, key.next));
      payload = Cursor(data, value.next);
      break;
    }
    case Payload::Fixed:
      if (!payload.skip(kWireTypes[wire_type].fixed_size)) return truncated();
      break;
    case Payload::LengthPrefixed: {
      TW_TRY(const Varint length, read_varint(data, key.next));
      payload_start = length.next;
      payload = Cursor(data, length.next);
      if (!payload.skip(length.value)) return truncated();
      break;
    }
    case Payload::Unsupported:
      return Error::malformed("unsupported wire type " + std::to_string(wire_type));
  }
  const std::uint64_t end = payload.pos();
  return Field{pos, end, payload_start, end, key.value >> 3, static_cast<std::uint8_t>(wire_type)};
}

Result<std::vector<Field>> scan_fields(ByteView data) {
  std::vector<Field> fields;
  TW_CHECK(for_each_field(data, [&](const Field& field) {
    fields.push_back(field);
    return ok();
  }));
  return fields;
}

void write_varint(Bytes& out, std::uint64_t v) {
  for (; v >= 0x80; v >>= 7) out.push_back(static_cast<std::uint8_t>(v | 0x80));
  out.push_back(static_cast<std::uint8_t>(v));
}

Result<Entry> parse_entry(ByteView payload) {
  Entry entry;
  TW_CHECK(for_each_field(payload, [&](const Field& field) -> Status {
    TW_CHECK(check_tag(field));
    if (is_field(field, kEntryKey)) entry.key = payload_of(payload, field);
    if (is_field(field, kEntryValue)) entry.value = payload_of(payload, field);
    return ok();
  }));
  return entry;
}

Result<bool> entry_is_c2pa(ByteView payload) {
  TW_TRY(const Entry entry, parse_entry(payload));
  return is_key(entry.key, kStoreKey) || is_key(entry.key, kUriKey);
}

void encode_entry(Bytes& out, std::string_view key, ByteView value) {
  write_entry_head(out, key, value.size());
  append(out, value);
}

// A second C2PA entry of a kind is refused once every entry has parsed and
// before the value is looked at, as in every container: onnxruntime takes
// the last entry, and a reader must not pick one of two. An entry with the
// store key but no value holds no store and is passed over.
Result<std::optional<StoreRange>> locate_store(ByteView data) {
  std::optional<ByteView> store;
  bool duplicate = false;
  TW_CHECK(for_each_top_level_field(data, [&](const Field& field) -> Status {
    if (!is_field(field, kMetadataProps)) return ok();
    TW_TRY(const Entry entry, parse_entry(payload_of(data, field)));
    if (!is_key(entry.key, kStoreKey) || !entry.value) return ok();
    if (store) duplicate = true;
    store = entry.value;
    return ok();
  }));
  if (!store) return std::optional<StoreRange>();
  if (duplicate) return Error::duplicate_manifest("ONNX");
  if (!is_utf8(*store)) return Error::malformed("store is not UTF-8");
  if (!base64::decoded_size(*store)) return Error::malformed_reference("value is not valid Base64");
  return std::optional<StoreRange>(
      StoreRange{static_cast<std::uint64_t>(store->data() - data.data()), store->size()});
}

// Duplicates as in locate_store; an entry with the URI key and no value is
// an empty URI.
Result<std::optional<std::string>> read_uri(ByteView data) {
  std::optional<ByteView> uri;
  bool duplicate = false;
  TW_CHECK(for_each_top_level_field(data, [&](const Field& field) -> Status {
    if (!is_field(field, kMetadataProps)) return ok();
    TW_TRY(const Entry entry, parse_entry(payload_of(data, field)));
    if (!is_key(entry.key, kUriKey)) return ok();
    if (uri) duplicate = true;
    uri = entry.value.value_or(ByteView{});
    return ok();
  }));
  if (!uri) return std::optional<std::string>{};
  if (duplicate) return Error::duplicate_uri("ONNX");
  if (!is_utf8(*uri)) return Error::malformed("URI is not UTF-8");
  return std::optional<std::string>{std::string(text_of(*uri))};
}

Result<Pieces> embed(ByteView data, const ManifestSource& source) {
  if (source.empty()) return Error::empty_source();
  TW_TRY(Pieces out, without_c2pa_entries(data));

  // Both new entries in one buffer of exact size; the Base64 text is written
  // straight into it.
  const auto& store = source.store();
  const auto& uri = source.uri();
  const std::uint64_t store_text_size = source.has_store() ? base64::encoded_size(source.store_size()) : 0;
  Bytes entries;
  entries.reserve(static_cast<std::size_t>((store ? entry_size(kStoreKey, store_text_size) : 0) +
                                           (uri ? entry_size(kUriKey, uri->size()) : 0)));
  if (store) {
    write_entry_head(entries, kStoreKey, store_text_size);
    const std::size_t at = entries.size();
    entries.resize(at + static_cast<std::size_t>(store_text_size));
    base64::encode_to(*store, entries.data() + at);
    out.mark_store(out.size() + at, store_text_size);
  } else if (source.reserved()) {
    // Zeros encode as "AAAA" per three bytes, and a padded last group.
    write_entry_head(entries, kStoreKey, store_text_size);
    out.mark_store(out.size() + entries.size(), store_text_size);
    out.add_owned(std::move(entries));
    entries = Bytes();
    const std::uint64_t whole = *source.reserved() / 3;
    out.add_fill('A', whole * 4);
    const std::uint64_t rest = *source.reserved() % 3;
    if (rest != 0) append(entries, rest == 1 ? std::string_view("AA==") : std::string_view("AAA="));
  }
  if (uri) encode_entry(entries, kUriKey, view_of(*uri));
  // protobuf parses no message of 2 GiB or more: onnxruntime and onnx would
  // refuse the output (INVALID_PROTOBUF).
  constexpr std::uint64_t kProtobufLimit = 2147483647;
  if (out.size() + entries.size() > kProtobufLimit)
    return Error::too_large("the ONNX model with its C2PA entries would be " +
                            std::to_string(out.size() + entries.size()) +
                            " bytes, past protobuf's limit of 2147483647: move tensors into external data "
                            "(onnx.save_model(..., save_as_external_data=True)) and sign the whole model");
  out.add_owned(std::move(entries));
  return out;
}

Result<Pieces> remove(ByteView data) { return without_c2pa_entries(data); }

namespace {

// The messages on the way to a TensorProto, and the fields that lead on.
enum class Message : std::uint8_t { Model, Function, Graph, Node, Attribute, Sparse, Tensor };

struct Child {
  Message from;
  std::uint64_t number;
  Message to;
};
constexpr Child kChildren[] = {
    {Message::Model, 7, Message::Graph},         // ModelProto.graph
    {Message::Model, 25, Message::Function},     // ModelProto.functions
    {Message::Function, 7, Message::Node},       // FunctionProto.node
    {Message::Graph, 1, Message::Node},          // GraphProto.node
    {Message::Graph, 5, Message::Tensor},        // GraphProto.initializer
    {Message::Graph, 15, Message::Sparse},       // GraphProto.sparse_initializer
    {Message::Node, 5, Message::Attribute},      // NodeProto.attribute
    {Message::Attribute, 5, Message::Tensor},    // AttributeProto.t
    {Message::Attribute, 10, Message::Tensor},   // AttributeProto.tensors
    {Message::Attribute, 6, Message::Graph},     // AttributeProto.g
    {Message::Attribute, 11, Message::Graph},    // AttributeProto.graphs
    {Message::Attribute, 22, Message::Sparse},   // AttributeProto.sparse_tensor
    {Message::Attribute, 23, Message::Sparse},   // AttributeProto.sparse_tensors
    {Message::Sparse, 1, Message::Tensor},       // SparseTensorProto.values
    {Message::Sparse, 2, Message::Tensor},       // SparseTensorProto.indices
};

// TensorProto.data_location, and its value EXTERNAL.
constexpr std::uint64_t kDataLocation = 14;
constexpr std::uint64_t kExternal = 1;
constexpr std::uint8_t kVarintWire = 0;

std::optional<Message> child_of(Message from, const Field& field) {
  if (field.wire_type != kLengthDelimited) return std::nullopt;
  for (const Child& c : kChildren)
    if (c.from == from && c.number == field.number) return c.to;
  return std::nullopt;
}

struct Frame {
  Message message;
  std::uint64_t pos;
  std::uint64_t end;
  int graphs;  // subgraphs entered on the way here
};

}  // namespace

Result<bool> has_external_data(ByteView model, const LoadFn& load) {
  // Depth first with an explicit stack; a frame resumes after the child it
  // entered, so the stack holds one path, bounded by the graph nesting.
  std::vector<Frame> stack{{Message::Model, 0, model.size(), 0}};
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.pos >= top.end) {
      stack.pop_back();
      continue;
    }
    if (!load(top.pos, std::min<std::uint64_t>(32, top.end - top.pos)))
      return Error::malformed("the ONNX model could not be read");
    Result<Field> read = read_field(model.first(static_cast<std::size_t>(top.end)), top.pos);
    if (!read.ok()) {
      stack.pop_back();
      continue;
    }
    const Field field = read.value();
    top.pos = field.end;
    if (top.message == Message::Tensor) {
      if (field.number != kDataLocation || field.wire_type != kVarintWire) continue;
      const ByteView within = model.first(static_cast<std::size_t>(field.end));
      TW_TRY(const Varint key, read_varint(within, field.start));
      TW_TRY(const Varint location, read_varint(within, key.next));
      if (location.value == kExternal) return true;
      continue;
    }
    const std::optional<Message> child = child_of(top.message, field);
    if (!child) continue;
    // The model's graph is level 0, as in the Python walk of member names.
    const int graphs = top.graphs + (*child == Message::Graph && top.message == Message::Attribute ? 1 : 0);
    if (graphs > kMaxGraphNesting) return Error::malformed("ONNX graphs nested too deeply");
    stack.push_back({*child, field.payload_start, field.payload_end, graphs});
  }
  return false;
}

}  // namespace tarnwick::onnx
