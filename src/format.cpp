#include "format.h"

#include <algorithm>

#include "error.h"
#include "gguf.h"
#include "manifest.h"
#include "onnx.h"
#include "safetensors.h"

namespace tarnwick {
namespace {

struct FormatInfo {
  std::string_view display_name;
  std::string_view model_type;
};
constexpr FormatInfo kFormats[] = {
    {"GGUF", "c2pa.types.model"},
    {"SafeTensors", "c2pa.types.model"},
    {"ONNX", "c2pa.types.model.onnx"},
};
static_assert(std::size(kFormats) == Format::ONNX + 1);

bool is_gguf(ByteView data) {
  return data.size() >= 4 && data[0] == 'G' && data[1] == 'G' && data[2] == 'U' && data[3] == 'F';
}

// A ModelProto scans as one protobuf message level and carries ir_version
// (1) or graph (7).
bool is_onnx(ByteView data) {
  bool model_field = false;
  const Status scan = onnx::for_each_field(data, [&](const onnx::Field& f) {
    model_field = model_field || f.number == 1 || f.number == 7;
    return ok();
  });
  return scan.ok() && model_field;
}

}  // namespace

std::string_view Format::display_name() const { return kFormats[kind_].display_name; }
std::string_view Format::model_type() const { return kFormats[kind_].model_type; }

std::optional<Format> Format::detect(ByteView data) {
  if (is_gguf(data)) return Format::GGUF;
  if (safetensors::is_safetensors(data)) return Format::SafeTensors;
  if (is_onnx(data)) return Format::ONNX;
  return std::nullopt;
}

Result<Bytes> read_manifest(ByteView data) {
  auto format = Format::detect(data);
  if (!format) return Error::unrecognized_format();
  switch (format->kind()) {
    case Format::GGUF: return gguf::read_store(data);
    case Format::SafeTensors: return safetensors::read_store(data);
    case Format::ONNX: return onnx::read_store(data);
  }
  return Error::unrecognized_format();
}

Result<std::optional<std::string>> read_manifest_uri(ByteView data) {
  auto format = Format::detect(data);
  if (!format) return Error::unrecognized_format();
  switch (format->kind()) {
    case Format::GGUF: return gguf::read_uri(data);
    case Format::SafeTensors: return safetensors::read_uri(data);
    case Format::ONNX: return onnx::read_uri(data);
  }
  return Error::unrecognized_format();
}

Result<Pieces> embed_manifest(ByteView data, const ManifestSource& source) {
  auto format = Format::detect(data);
  if (!format) return Error::unrecognized_format();
  switch (format->kind()) {
    case Format::GGUF: return gguf::embed(data, source);
    case Format::SafeTensors: return safetensors::embed(data, source);
    case Format::ONNX: return onnx::embed(data, source);
  }
  return Error::unrecognized_format();
}

Result<Pieces> remove_manifest(ByteView data) {
  auto format = Format::detect(data);
  if (!format) return Error::unrecognized_format();
  switch (format->kind()) {
    case Format::GGUF: return gguf::remove(data);
    case Format::SafeTensors: return safetensors::remove(data);
    case Format::ONNX: return onnx::remove(data);
  }
  return Error::unrecognized_format();
}

}  // namespace tarnwick
