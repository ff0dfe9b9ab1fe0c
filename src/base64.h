// Standard Base64 (RFC 4648 section 4) with a strict, canonical-only decoder.
#pragma once

#include <optional>
#include <string>

#include "bytes.h"

namespace tarnwick::base64 {

// Padded text of exactly 4 * ceil(n / 3) characters.
[[nodiscard]] std::string encode(ByteView data);
// The bytes, or nothing when `text` is not the canonical encoding of any
// byte string (bad length, bad character, misplaced padding, stray bits).
[[nodiscard]] std::optional<Bytes> decode(ByteView text);

}  // namespace tarnwick::base64
