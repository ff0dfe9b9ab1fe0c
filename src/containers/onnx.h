// ONNX container: protobuf wire scanning and the C2PA entries of
// ModelProto.metadata_props (field 14).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/manifest.h"

namespace tarnwick::onnx {

// One field of one message level; positions index the scanned buffer.
struct Field {
  std::uint64_t start;
  std::uint64_t end;
  std::uint64_t payload_start;
  std::uint64_t payload_end;  // always == end
  std::uint64_t number;
  std::uint8_t wire_type;
};

// Strings and messages are read from this wire type only; protobuf keeps a
// field of their number with any other as an unknown field.
inline constexpr std::uint8_t kLengthDelimited = 2;

struct Varint {
  std::uint64_t value;
  std::uint64_t next;  // index just past the varint
};

// Decodes the base-128 varint at `pos`: at most 10 bytes, bits past 63 dropped.
[[nodiscard]] Result<Varint> read_varint(ByteView data, std::uint64_t pos);
// Locates the field whose key starts at `pos`, stepping over its payload.
[[nodiscard]] Result<Field> read_field(ByteView data, std::uint64_t pos);

// Calls visit(const Field&) -> Status for each field of one message level, in
// order, stopping at the first failure. Allocates nothing.
template <class Visit>
[[nodiscard]] Status for_each_field(ByteView data, Visit&& visit) {
  for (std::uint64_t pos = 0; pos < data.size();) {
    TW_TRY(const Field field, read_field(data, pos));
    TW_CHECK(visit(field));
    pos = field.end;
  }
  return ok();
}

// Splits `data` into the fields of one message level; they tile it exactly.
[[nodiscard]] Result<std::vector<Field>> scan_fields(ByteView data);
// Appends the minimal varint encoding of v.
void write_varint(Bytes& out, std::uint64_t v);

// A metadata entry's key and value as views of its payload; absent fields,
// and fields 1 and 2 of another wire type, are nullopt.
struct Entry {
  std::optional<ByteView> key;
  std::optional<ByteView> value;
};
[[nodiscard]] Result<Entry> parse_entry(ByteView payload);
[[nodiscard]] Result<bool> entry_is_c2pa(ByteView payload);
// Appends one complete top-level field-14 entry.
void encode_entry(Bytes& out, std::string_view key, ByteView value);

// The Base64 text of the store (the value field of its metadata_props entry),
// checked to decode, or nullopt when there is none.
[[nodiscard]] Result<std::optional<StoreRange>> locate_store(ByteView data);
[[nodiscard]] Result<std::optional<std::string>> read_uri(ByteView data);
// The rewritten model as pieces; views borrow `data`.
[[nodiscard]] Result<Pieces> embed(ByteView data, const ManifestSource& source);
[[nodiscard]] Result<Pieces> remove(ByteView data);

// As read_field, but a key whose number protobuf would not read as 32 bits
// is refused before its wire type or payload is looked at.
[[nodiscard]] Result<Field> read_known_field(ByteView data, std::uint64_t pos);

// The places named by the model's tensors that keep their data outside the
// file (TensorProto.data_location EXTERNAL): initializers, sparse
// initializers, the tensors and subgraphs of node attributes, functions'
// nodes and training graphs. Each location once, as raw text, in the order
// the tensors settle: one merged from occurrences of a singular field (two
// AttributeProto.t) settles when its parent ends. Walks field heads and
// external_data entries only, never a tensor's bytes; `load(offset, length)`
// is called before each range is read (false: the file could not be read).
// Fails closed, as the model's loaders read it or refuse it: a message on
// the walk that does not parse, a group, an EXTERNAL tensor without a
// location, a location that is empty or not UTF-8, or subgraphs nested
// deeper than kMaxGraphNesting, is an error.
inline constexpr int kMaxGraphNesting = 64;
using LoadFn = std::function<bool(std::uint64_t offset, std::uint64_t length)>;
[[nodiscard]] Result<std::vector<std::string>> external_locations(ByteView model, const LoadFn& load);
// Whether external_locations names any file; its errors are this one's.
[[nodiscard]] Result<bool> has_external_data(ByteView model, const LoadFn& load);

}  // namespace tarnwick::onnx
