// JSON: parsing never fails unsafely, checking alone agrees with parsing,
// and a parsed value written, parsed again and written again gives the same
// text.
#include <cstdint>
#include <string_view>

#include "invariants.h"
#include "core/json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwick;
  // Callers only ever parse UTF-8 text.
  if (!is_utf8(ByteView(data, size))) return 0;
  json::ParseResult first = json::parse(text_of(ByteView(data, size)));
  // Checking without building a tree reaches the same verdict.
  TW_ASSERT(json::validate(text_of(ByteView(data, size))) == first.error);
  if (!first.ok()) return 0;
  Bytes text;
  json::write_value(text, first.value);
  json::ParseResult second = json::parse(text_of(ByteView(text)));
  TW_ASSERT(second.ok());
  Bytes again;
  json::write_value(again, second.value);
  TW_ASSERT(again == text);
  return 0;
}
