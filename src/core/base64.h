// Standard Base64 (RFC 4648 section 4) with a strict, canonical-only decoder.
#pragma once

#include <optional>
#include <string>

#include "core/bytes.h"

namespace tarnwick::base64 {

// 4 * ceil(n / 3): the length of the padded text of n bytes.
[[nodiscard]] constexpr std::size_t encoded_size(std::size_t n) {
  return n / 3 * 4 + (n % 3 != 0 ? 4 : 0);
}
// Writes the padded text of `data` to out[0 .. encoded_size(data.size())).
void encode_to(ByteView data, std::uint8_t* out);
// Padded text of exactly encoded_size(n) characters.
[[nodiscard]] std::string encode(ByteView data);
// The bytes, or nothing when `text` is not the canonical encoding of any
// byte string (bad length, bad character, misplaced padding, stray bits).
[[nodiscard]] std::optional<Bytes> decode(ByteView text);
// The length decode() would give, or nothing where decode() gives nothing;
// allocates nothing.
[[nodiscard]] std::optional<std::size_t> decoded_size(ByteView text);

}  // namespace tarnwick::base64
