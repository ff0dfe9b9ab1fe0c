#include "containers/onnx.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <unordered_set>

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

// A key is judged before its wire type and its payload, as at the top level,
// where every key is judged before any entry is read.
Result<Entry> parse_entry(ByteView payload) {
  Entry entry;
  for (std::uint64_t pos = 0; pos < payload.size();) {
    TW_TRY(const Field field, read_known_field(payload, pos));
    if (is_field(field, kEntryKey)) entry.key = payload_of(payload, field);
    if (is_field(field, kEntryValue)) entry.value = payload_of(payload, field);
    pos = field.end;
  }
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
enum class Message : std::uint8_t { Model, Function, TrainingInfo, Graph, Node, Attribute, Sparse, Tensor };

// Each frame keeps the state of the tensors it merges: protobuf merges the
// occurrences of a singular message field within one parent into one
// message, so a tensor split over two AttributeProto.t fields is one tensor,
// settled only when its parent ends. An element of a repeated field is a
// message of its own. Two occurrences of a singular graph are walked one
// after the other: all a graph leads on to is repeated, so that reads as
// their merge does.
inline constexpr std::uint8_t kOwn = 0xFF;
enum Slot : std::uint8_t { kT = 0, kValues = 1, kIndices = 2, kSlots = 3 };

struct Child {
  Message from;
  std::uint64_t number;
  Message to;
  std::uint8_t slot;  // kOwn: an element of a repeated field; else where
                      // in the parent (or its owner) the child merges
};
constexpr Child kChildren[] = {
    {Message::Model, 7, Message::Graph, kOwn},               // ModelProto.graph
    {Message::Model, 20, Message::TrainingInfo, kOwn},       // ModelProto.training_info
    {Message::Model, 25, Message::Function, kOwn},           // ModelProto.functions
    {Message::Function, 7, Message::Node, kOwn},             // FunctionProto.node
    {Message::TrainingInfo, 1, Message::Graph, kOwn},        // TrainingInfoProto.initialization
    {Message::TrainingInfo, 2, Message::Graph, kOwn},        // TrainingInfoProto.algorithm
    {Message::Graph, 1, Message::Node, kOwn},                // GraphProto.node
    {Message::Graph, 5, Message::Tensor, kOwn},              // GraphProto.initializer
    {Message::Graph, 15, Message::Sparse, kOwn},             // GraphProto.sparse_initializer
    {Message::Node, 5, Message::Attribute, kOwn},            // NodeProto.attribute
    {Message::Attribute, 5, Message::Tensor, kT},            // AttributeProto.t
    {Message::Attribute, 10, Message::Tensor, kOwn},         // AttributeProto.tensors
    {Message::Attribute, 6, Message::Graph, kOwn},           // AttributeProto.g
    {Message::Attribute, 11, Message::Graph, kOwn},          // AttributeProto.graphs
    {Message::Attribute, 22, Message::Sparse, kValues},      // AttributeProto.sparse_tensor
    {Message::Attribute, 23, Message::Sparse, kOwn},         // AttributeProto.sparse_tensors
    {Message::Sparse, 1, Message::Tensor, kValues},          // SparseTensorProto.values
    {Message::Sparse, 2, Message::Tensor, kIndices},         // SparseTensorProto.indices
};

// TensorProto.external_data and .data_location, whose values are a closed
// enum: DEFAULT or EXTERNAL.
constexpr std::uint64_t kExternalData = 13;
constexpr std::uint64_t kDataLocation = 14;
constexpr std::int32_t kDefault = 0;
constexpr std::int32_t kExternal = 1;
constexpr std::uint8_t kVarintWire = 0;
constexpr std::string_view kLocationKey = "location";
// Enough for a field's key and the varint after it.
constexpr std::uint64_t kFieldHead = 32;

const Child* child_of(Message from, const Field& field) {
  if (field.wire_type != kLengthDelimited) return nullptr;
  for (const Child& c : kChildren)
    if (c.from == from && c.number == field.number) return &c;
  return nullptr;
}

// One tensor as read so far: data_location, and the value of the last
// external_data entry keyed "location" (empty for one without a value).
struct TensorState {
  bool external = false;
  std::optional<ByteView> location;
};

struct Frame {
  Message message;
  std::uint64_t pos;
  std::uint64_t end;
  int graphs;         // subgraphs entered on the way here
  std::size_t owner;  // Tensor, Sparse: the frame whose slots they fill
  std::uint8_t slot;
  TensorState merged[kSlots];
};

// The walk's reads of what the model holds: each range loaded first, and
// every key judged before its wire type or its payload, as protobuf reads
// a key as 32 bits and field number 0 as no field.
class Reader {
 public:
  Reader(ByteView model, const LoadFn& load) : model_(model), load_(load) {}

  [[nodiscard]] Status load(std::uint64_t offset, std::uint64_t length) const {
    if (length != 0 && !load_(offset, length)) return Error::malformed("the ONNX model could not be read");
    return ok();
  }

  [[nodiscard]] Result<Field> field(std::uint64_t pos, std::uint64_t end) const {
    TW_CHECK(load(pos, std::min(kFieldHead, end - pos)));
    const ByteView within = model_.first(static_cast<std::size_t>(end));
    TW_TRY(const Varint key, read_varint(within, pos));
    if ((key.value >> 3) == 0) return Error::malformed("field number 0");
    return read_known_field(within, pos);
  }

  // The varint of a field of wire type 0, loaded with its head.
  [[nodiscard]] Result<std::uint64_t> varint_of(const Field& field) const {
    const ByteView within = model_.first(static_cast<std::size_t>(field.end));
    TW_TRY(const Varint key, read_varint(within, field.start));
    TW_TRY(const Varint value, read_varint(within, key.next));
    return value.value;
  }

  ByteView payload(const Field& field) const { return payload_of(model_, field); }

 private:
  ByteView model_;
  const LoadFn& load_;
};

// A StringStringEntryProto of TensorProto.external_data: its location when
// its key is "location", else nullopt. Only a key of that length is loaded,
// and the value only once the key is known.
Result<std::optional<ByteView>> location_entry(const Reader& in, const Field& entry) {
  std::optional<Field> key, value;
  for (std::uint64_t pos = entry.payload_start; pos < entry.payload_end;) {
    TW_TRY(const Field field, in.field(pos, entry.payload_end));
    if (is_field(field, kEntryKey)) key = field;
    if (is_field(field, kEntryValue)) value = field;
    pos = field.end;
  }
  if (!key || key->payload_end - key->payload_start != kLocationKey.size()) return std::optional<ByteView>();
  TW_CHECK(in.load(key->payload_start, kLocationKey.size()));
  if (text_of(in.payload(*key)) != kLocationKey) return std::optional<ByteView>();
  if (!value) return std::optional<ByteView>(ByteView{});
  TW_CHECK(in.load(value->payload_start, value->payload_end - value->payload_start));
  return std::optional<ByteView>(in.payload(*value));
}

// Adds a settled tensor's location to `out`, once.
Status settle(const TensorState& tensor, std::vector<std::string>& out,
              std::unordered_set<std::string_view>& seen) {
  if (!tensor.external) return ok();
  if (!tensor.location) return Error::malformed("a tensor's data is EXTERNAL but it names no location");
  if (tensor.location->empty()) return Error::malformed("an external data location is empty");
  if (!is_utf8(*tensor.location)) return Error::malformed("an external data location is not UTF-8");
  if (seen.insert(text_of(*tensor.location)).second) out.emplace_back(text_of(*tensor.location));
  return ok();
}

}  // namespace

Result<Field> read_known_field(ByteView data, std::uint64_t pos) {
  TW_TRY(const Varint key, read_varint(data, pos));
  if ((key.value >> 3) > kMaxFieldNumber) return Error::malformed("field tag beyond 32 bits");
  return read_field(data, pos);
}

Result<std::vector<std::string>> external_locations(ByteView model, const LoadFn& load) {
  const Reader in(model, load);
  std::vector<std::string> out;
  std::unordered_set<std::string_view> seen;
  // Depth first with an explicit stack; a frame resumes after the child it
  // entered, so the stack holds one path, bounded by the graph nesting.
  std::vector<Frame> stack;
  stack.push_back({Message::Model, 0, model.size(), 0, 0, kOwn, {}});
  while (!stack.empty()) {
    const std::size_t at = stack.size() - 1;
    if (stack[at].pos >= stack[at].end) {
      for (const TensorState& tensor : stack[at].merged) {
        TW_CHECK(settle(tensor, out, seen));
      }
      stack.pop_back();
      continue;
    }
    TW_TRY(const Field field, in.field(stack[at].pos, stack[at].end));
    stack[at].pos = field.end;
    const Frame& top = stack[at];
    if (top.message == Message::Tensor) {
      TensorState& tensor = stack[top.owner].merged[top.slot];
      if (field.number == kDataLocation && field.wire_type == kVarintWire) {
        // Read as int32; any other value is unknown to the enum and leaves
        // the field as it was.
        TW_TRY(const std::uint64_t raw, in.varint_of(field));
        const auto value = static_cast<std::int32_t>(static_cast<std::uint32_t>(raw));
        if (value == kDefault || value == kExternal) tensor.external = value == kExternal;
      } else if (is_field(field, kExternalData)) {
        TW_TRY(const std::optional<ByteView> location, location_entry(in, field));
        if (location) tensor.location = location;
      }
      continue;
    }
    const Child* child = child_of(top.message, field);
    if (child == nullptr) continue;
    // The model's and the training graphs are level 0; a node's subgraph is one deeper.
    const int graphs = top.graphs + (child->to == Message::Graph && top.message == Message::Attribute ? 1 : 0);
    if (graphs > kMaxGraphNesting) return Error::malformed("ONNX graphs nested too deeply");
    Frame next{child->to, field.payload_start, field.payload_end, graphs, stack.size(), kT, {}};
    if (child->slot != kOwn) {
      // A SparseTensorProto's values and indices merge where it does.
      next.owner = top.message == Message::Sparse ? top.owner : at;
      next.slot = top.message == Message::Sparse ? static_cast<std::uint8_t>(top.slot + child->slot - kValues)
                                                 : child->slot;
    } else if (child->to == Message::Sparse) {
      next.slot = kValues;
    }
    stack.push_back(next);
  }
  return out;
}

Result<bool> has_external_data(ByteView model, const LoadFn& load) {
  TW_TRY(const std::vector<std::string> locations, external_locations(model, load));
  return !locations.empty();
}

}  // namespace tarnwick::onnx
