#include "onnx.h"

// Not built yet: this container's handler lands with its own change.
namespace tarnwick::onnx {

Result<Bytes> read_store(ByteView) { return Error::unrecognized_format(); }
Result<std::optional<std::string>> read_uri(ByteView) { return Error::unrecognized_format(); }
Result<Pieces> embed(ByteView, const ManifestSource&) { return Error::unrecognized_format(); }
Result<Pieces> remove(ByteView) { return Error::unrecognized_format(); }

}  // namespace tarnwick::onnx

namespace tarnwick::onnx {
Result<std::vector<Field>> scan_fields(ByteView) { return Error::malformed("not built"); }
void write_varint(Bytes&, std::uint64_t) {}
}  // namespace tarnwick::onnx
