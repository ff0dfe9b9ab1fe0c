// ONNX container: protobuf wire scanning and the C2PA entries of
// ModelProto.metadata_props (field 14).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bytes.h"
#include "error.h"
#include "manifest.h"

namespace tarnwick::onnx {

// One field of one message level; positions index the scanned buffer.
struct Field {
  std::uint64_t start;
  std::uint64_t end;
  std::uint64_t payload_start;
  std::uint64_t payload_end;  // always == end
  std::uint64_t number;
};

// Splits `data` into the fields of one message level; they tile it exactly.
[[nodiscard]] Result<std::vector<Field>> scan_fields(ByteView data);
// Appends the minimal varint encoding of v.
void write_varint(Bytes& out, std::uint64_t v);

[[nodiscard]] Result<Bytes> read_store(ByteView data);
[[nodiscard]] Result<std::optional<std::string>> read_uri(ByteView data);
[[nodiscard]] Result<Pieces> embed(ByteView data, const ManifestSource& source);
[[nodiscard]] Result<Pieces> remove(ByteView data);

}  // namespace tarnwick::onnx
