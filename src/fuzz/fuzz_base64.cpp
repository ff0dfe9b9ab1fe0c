// Base64: decoding undoes encoding, and only canonical text decodes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/base64.h"
#include "invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwick;
  ByteView input(data, size);

  const std::string text = base64::encode(input);
  TW_ASSERT(text.size() == (size + 2) / 3 * 4);
  auto back = base64::decode(view_of(text));
  TW_ASSERT(back.has_value());
  TW_ASSERT(*back == Bytes(input.begin(), input.end()));

  auto decoded = base64::decode(input);
  // Checking alone reaches the same verdict and knows the length.
  const std::optional<std::size_t> length = base64::decoded_size(input);
  TW_ASSERT(length.has_value() == decoded.has_value());
  if (decoded) {
    TW_ASSERT(*length == decoded->size());
    TW_ASSERT(base64::encode(*decoded) == text_of(input));
  }
  return 0;
}
