#include "dispatch/format.h"

#include <algorithm>
#include <bit>
#include <iterator>

#include "core/base64.h"
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
  bool store_is_base64;
};
constexpr FormatInfo kFormats[] = {
    {"GGUF", "c2pa.types.model", false},
    {"SafeTensors", "c2pa.types.model", true},
    {"ONNX", "c2pa.types.model.onnx", true},
};
static_assert(std::size(kFormats) == Format::ONNX + 1);
static_assert(!kFormats[Format::GGUF].store_is_base64 && kFormats[Format::ONNX].store_is_base64);

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
bool Format::store_is_base64() const { return kFormats[kind_].store_is_base64; }

std::optional<Format> Format::detect(ByteView data) {
  if (is_gguf(data)) return Format::GGUF;
  if (safetensors::is_safetensors(data)) return Format::SafeTensors;
  if (is_onnx(data)) return Format::ONNX;
  return std::nullopt;
}

namespace {

// 2^62 bytes: past any file system's file size, and small enough that every
// size computed from it fits in 64 bits.
constexpr std::uint64_t kLargestStore = std::uint64_t{1} << 62;

// The four operations of each container, indexed by Format::Kind. The
// rewrites take a valid block or 0.
struct Handlers {
  Result<std::optional<StoreRange>> (*locate_store)(ByteView);
  Result<std::optional<std::string>> (*read_uri)(ByteView);
  Result<Pieces> (*embed)(ByteView, const ManifestSource&, std::uint64_t block);
  Result<Pieces> (*remove)(ByteView, std::uint64_t block);
};
constexpr Handlers kHandlers[] = {
    {gguf::locate_store, gguf::read_uri, gguf::embed,
     // Its padding is a C2PA entry, dropped with the others.
     [](ByteView data, std::uint64_t) { return gguf::remove(data); }},
    {safetensors::locate_store, safetensors::read_uri, safetensors::embed, safetensors::remove},
    // Its rewrites leave the tensor bytes at their offsets.
    {onnx::locate_store, onnx::read_uri,
     [](ByteView data, const ManifestSource& source, std::uint64_t) { return onnx::embed(data, source); },
     [](ByteView data, std::uint64_t) { return onnx::remove(data); }},
};
static_assert(std::size(kHandlers) == std::size(kFormats));

const Handlers* handlers_for(ByteView data) {
  const std::optional<Format> format = Format::detect(data);
  return format ? &kHandlers[format->kind()] : nullptr;
}

std::uint64_t valid_block(std::uint64_t block) {
  return std::has_single_bit(block) && block >= kMinBlock && block <= kMaxBlock ? block : 0;
}

ByteView bytes_at(ByteView data, StoreRange range) {
  return data.subspan(static_cast<std::size_t>(range.offset), static_cast<std::size_t>(range.length));
}

}  // namespace

Result<std::optional<StoreRange>> locate_manifest(ByteView data) {
  const Handlers* h = handlers_for(data);
  if (h == nullptr) return Error::unrecognized_format();
  return h->locate_store(data);
}

Result<Bytes> read_manifest(ByteView data) {
  const std::optional<Format> format = Format::detect(data);
  if (!format) return Error::unrecognized_format();
  TW_TRY(const std::optional<StoreRange> range, kHandlers[format->kind()].locate_store(data));
  if (!range) return Error::no_manifest();
  const ByteView stored = bytes_at(data, *range);
  if (!format->store_is_base64()) return Bytes(stored.begin(), stored.end());
  // locate_store has checked the text; decode() checks it once more.
  auto decoded = base64::decode(stored);
  if (!decoded) return Error::malformed_reference("value is not valid Base64");
  return std::move(*decoded);
}

Result<ModelInfo> inspect(ByteView data) {
  const std::optional<Format> format = Format::detect(data);
  if (!format) return Error::unrecognized_format();
  const Handlers& h = kHandlers[format->kind()];
  ModelInfo info{*format, std::nullopt, std::nullopt, std::nullopt};
  TW_TRY(info.store_range, h.locate_store(data));
  if (info.store_range) {
    info.store_size = format->store_is_base64()
                          ? base64::decoded_size(bytes_at(data, *info.store_range)).value_or(0)
                          : info.store_range->length;
  }
  TW_TRY(info.uri, h.read_uri(data));
  return info;
}

Status check_loadable(ByteView data) {
  const std::optional<Format> format = Format::detect(data);
  if (!format) return Error::unrecognized_format();
  switch (format->kind()) {
    case Format::GGUF:
      return gguf::check_tensors(data);
    case Format::SafeTensors:
      return safetensors::check_layout(data);
    case Format::ONNX:
      return ok();
  }
  return ok();
}

Result<std::optional<std::string>> read_manifest_uri(ByteView data) {
  const Handlers* h = handlers_for(data);
  if (h == nullptr) return Error::unrecognized_format();
  return h->read_uri(data);
}

Result<Pieces> embed_manifest(ByteView data, const ManifestSource& source, std::uint64_t block) {
  const Handlers* h = handlers_for(data);
  if (h == nullptr) return Error::unrecognized_format();
  // A reservation is only a number: one no file could hold is refused
  // before any size is computed from it (Base64 text is 4/3 of it).
  if (source.store_size() > kLargestStore)
    return Error::too_large("a store of " + std::to_string(source.store_size()) +
                            " bytes is larger than any model file can hold");
  TW_TRY(Pieces out, h->embed(data, source, valid_block(block)));
  // Every container says where it placed a new store: a data hash of the
  // output leaves that range out, and without it would be wrong, not absent.
  if (source.has_store() && !out.store_range())
    return Error::digest("internal error: the new store's place in the model is unknown");
  return out;
}

Result<Pieces> remove_manifest(ByteView data, std::uint64_t block) {
  const Handlers* h = handlers_for(data);
  if (h == nullptr) return Error::unrecognized_format();
  return h->remove(data, valid_block(block));
}

Result<StoreWrite> signed_store_write(ByteView data, ByteView store) {
  const std::optional<Format> format = Format::detect(data);
  if (!format) return Error::unrecognized_format();
  TW_TRY(const std::optional<StoreRange> range, kHandlers[format->kind()].locate_store(data));
  if (!range) return Error::no_manifest();
  // Sizes are compared raw, as the signer chose them, before any text is
  // made; locate_store has checked that a Base64 store decodes.
  const ByteView stored = bytes_at(data, *range);
  const std::uint64_t reserved =
      format->store_is_base64() ? base64::decoded_size(stored).value_or(0) : stored.size();
  if (store.size() != reserved) return Error::store_size_differs(store.size(), reserved);
  StoreWrite write{range->offset, {}};
  if (format->store_is_base64()) {
    write.stored.resize(static_cast<std::size_t>(base64::encoded_size(store.size())));
    base64::encode_to(store, write.stored.data());
  } else {
    write.stored.assign(store.begin(), store.end());
  }
  // Equal raw sizes give equal Base64 lengths only for canonical text,
  // which is all locate_store accepts; checked all the same.
  if (write.stored.size() != range->length) return Error::store_size_differs(store.size(), reserved);
  return write;
}

Result<bool> has_external_data(ByteView data, const std::function<bool(std::uint64_t, std::uint64_t)>& load) {
  const std::optional<Format> format = Format::detect(data);
  if (!format || *format != Format::ONNX) return false;
  return onnx::has_external_data(data, load);
}

Result<std::vector<std::string>> external_data_locations(
    ByteView data, const std::function<bool(std::uint64_t, std::uint64_t)>& load) {
  const std::optional<Format> format = Format::detect(data);
  if (!format) return Error::unrecognized_format();
  if (*format != Format::ONNX)
    return Error::malformed("a " + std::string(format->display_name()) + " file, not an ONNX model");
  return onnx::external_locations(data, load);
}

namespace {

// Bytes read at the start of every file, and first for a GGUF file, whose
// metadata is a prefix read again twice as long until it holds the whole.
constexpr std::uint64_t kFirstRead = 64 * 1024;
// Enough for a protobuf field's key and the varint after it.
constexpr std::uint64_t kFieldHead = 32;

bool load_gguf(ByteView image, const LoadRange& load) {
  for (std::uint64_t have = std::min<std::uint64_t>(image.size(), kFirstRead);;) {
    Result<std::optional<std::uint64_t>> size = gguf::metadata_size(image.first(have));
    if (!size.ok() || size.value() || have == image.size()) return true;
    const std::uint64_t more = std::min<std::uint64_t>(image.size() - have, have);
    if (!load(have, more)) return false;
    have += more;
  }
}

// Returns whether the file is SafeTensors, after loading what the format
// test reads: the header up to its first byte that is not whitespace, and
// the whole header when it is of a length the format allows.
bool load_safetensors(ByteView image, const LoadRange& load, bool* failed) {
  Result<safetensors::HeaderBounds> bounds = safetensors::header_bounds(image);
  if (!bounds.ok()) return false;
  const std::uint64_t length = bounds->end - bounds->start;
  if (length <= safetensors::kMaxHeaderSize) {
    *failed = !load(0, bounds->end);
    return !*failed && safetensors::is_safetensors(image);
  }
  for (std::uint64_t at = bounds->start; at < bounds->end; at += kFirstRead) {
    const std::uint64_t n = std::min(kFirstRead, bounds->end - at);
    if (!load(at, n)) {
      *failed = true;
      return false;
    }
    for (std::uint8_t c : image.subspan(at, n))
      if (!safetensors::is_header_space(c)) return c == '{';
  }
  return false;
}

// Every top-level field's key and length, and the payloads of the metadata
// entries; the graph's payload (the tensors) is passed over.
bool load_onnx(ByteView image, const LoadRange& load) {
  for (std::uint64_t pos = 0; pos < image.size();) {
    if (!load(pos, std::min(kFieldHead, image.size() - pos))) return false;
    Result<onnx::Field> field = onnx::read_field(image, pos);
    if (!field.ok()) return true;
    if (field->number == 14 && !load(field->payload_start, field->payload_end - field->payload_start))
      return false;
    pos = field->end;
  }
  return true;
}

}  // namespace

bool load_metadata(ByteView image, const LoadRange& load) {
  if (!load(0, std::min<std::uint64_t>(image.size(), kFirstRead))) return false;
  if (is_gguf(image)) return load_gguf(image, load);
  bool failed = false;
  if (load_safetensors(image, load, &failed) || failed) return !failed;
  return load_onnx(image, load);
}

}  // namespace tarnwick
