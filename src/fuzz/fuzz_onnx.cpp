// ONNX: the container invariants, and remove() cuts out exactly the byte
// ranges of the C2PA entries, keeping every other byte in place.
#include <cstdint>

#include "invariants.h"
#include "containers/onnx.h"

namespace {

using namespace tarnwick;

// The key of a metadata entry: the last length-delimited field 1 of its
// payload.
std::optional<ByteView> entry_key(ByteView payload) {
  auto fields = onnx::scan_fields(payload);
  if (!fields.ok()) return std::nullopt;
  ByteView key;
  for (const onnx::Field& f : fields.value())
    if (f.number == 1 && f.wire_type == onnx::kLengthDelimited)
      key = payload.subspan(f.payload_start, f.payload_end - f.payload_start);
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteView input(data, size);
  std::optional<Bytes> removed = fuzz::check_container(input);
  if (!removed || Format::detect(input) != Format::ONNX) return 0;

  auto fields = onnx::scan_fields(input);
  TW_ASSERT(fields.ok());
  Bytes expected;
  std::uint64_t pos = 0;
  for (const onnx::Field& f : fields.value()) {
    TW_ASSERT(f.start == pos);
    pos = f.end;
    TW_ASSERT(f.number < (std::uint64_t{1} << 29));  // remove() refuses wider tags
    if (f.number == 14 && f.wire_type == onnx::kLengthDelimited) {
      auto key = entry_key(input.subspan(f.payload_start, f.payload_end - f.payload_start));
      TW_ASSERT(key.has_value());  // remove() succeeded, so every entry scans
      const std::string_view k = text_of(*key);
      if (k == kStoreKey || k == kUriKey) continue;
    }
    append(expected, input.subspan(f.start, f.end - f.start));
  }
  TW_ASSERT(pos == size);
  TW_ASSERT(*removed == expected);
  return 0;
}
