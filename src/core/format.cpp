#include "core/format.h"

#include <iterator>

#include "core/error.h"
#include "containers/gguf.h"
#include "core/manifest.h"
#include "containers/onnx.h"
#include "containers/safetensors.h"

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

namespace {

// The four operations of each container, indexed by Format::Kind.
struct Handlers {
  Result<Bytes> (*read_store)(ByteView);
  Result<std::optional<std::string>> (*read_uri)(ByteView);
  Result<Pieces> (*embed)(ByteView, const ManifestSource&);
  Result<Pieces> (*remove)(ByteView);
};
constexpr Handlers kHandlers[] = {
    {gguf::read_store, gguf::read_uri, gguf::embed, gguf::remove},
    {safetensors::read_store, safetensors::read_uri, safetensors::embed, safetensors::remove},
    {onnx::read_store, onnx::read_uri, onnx::embed, onnx::remove},
};
static_assert(std::size(kHandlers) == std::size(kFormats));

const Handlers* handlers_for(ByteView data) {
  const std::optional<Format> format = Format::detect(data);
  return format ? &kHandlers[format->kind()] : nullptr;
}

}  // namespace

Result<Bytes> read_manifest(ByteView data) {
  const Handlers* h = handlers_for(data);
  if (h == nullptr) return Error::unrecognized_format();
  return h->read_store(data);
}

Result<std::optional<std::string>> read_manifest_uri(ByteView data) {
  const Handlers* h = handlers_for(data);
  if (h == nullptr) return Error::unrecognized_format();
  return h->read_uri(data);
}

Result<Pieces> embed_manifest(ByteView data, const ManifestSource& source) {
  const Handlers* h = handlers_for(data);
  if (h == nullptr) return Error::unrecognized_format();
  return h->embed(data, source);
}

Result<Pieces> remove_manifest(ByteView data) {
  const Handlers* h = handlers_for(data);
  if (h == nullptr) return Error::unrecognized_format();
  return h->remove(data);
}

}  // namespace tarnwick
