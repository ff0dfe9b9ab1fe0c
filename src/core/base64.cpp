#include "core/base64.h"

#include <array>

namespace tarnwick::base64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(sizeof kAlphabet == 64 + 1);

constexpr std::uint8_t kInvalid = 0xFF;

// Digit value of every byte, kInvalid outside the alphabet ("=" included).
constexpr std::array<std::uint8_t, 256> make_digits() {
  std::array<std::uint8_t, 256> t{};
  for (auto& v : t) v = kInvalid;
  for (std::uint8_t i = 0; i < 64; ++i) t[static_cast<std::uint8_t>(kAlphabet[i])] = i;
  return t;
}
constexpr auto kDigits = make_digits();
static_assert(kDigits['A'] == 0 && kDigits['a'] == 26 && kDigits['0'] == 52);
static_assert(kDigits['+'] == 62 && kDigits['/'] == 63 && kDigits['='] == kInvalid);

}  // namespace

void encode_to(ByteView data, std::uint8_t* o) {
  const std::size_t n = data.size();
  const std::uint8_t* p = data.data();
  std::size_t i = 0;
  for (; n - i >= 3; i += 3, o += 4) {
    const std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8) | p[i + 2];
    o[0] = kAlphabet[v >> 18];
    o[1] = kAlphabet[(v >> 12) & 0x3F];
    o[2] = kAlphabet[(v >> 6) & 0x3F];
    o[3] = kAlphabet[v & 0x3F];
  }
  if (const std::size_t rest = n - i; rest != 0) {
    const std::uint32_t v = (std::uint32_t{p[i]} << 16) | (rest == 2 ? std::uint32_t{p[i + 1]} << 8 : 0);
    o[0] = kAlphabet[v >> 18];
    o[1] = kAlphabet[(v >> 12) & 0x3F];
    o[2] = rest == 2 ? kAlphabet[(v >> 6) & 0x3F] : '=';
    o[3] = '=';
  }
}

std::string encode(ByteView data) {
  std::string out(encoded_size(data.size()), '\0');
  encode_to(data, reinterpret_cast<std::uint8_t*>(out.data()));
  return out;
}

namespace {

// Checks that `text` is the canonical encoding of some byte string and, when
// `out` is given, writes those bytes to it. The output length is known from
// the text alone (decoded_size).
bool decode_to(ByteView text, std::uint8_t* o) {
  const std::size_t n = text.size();
  if (n % 4 != 0) return false;
  if (n == 0) return true;
  const std::uint8_t* p = text.data();

  // Only the last group may carry padding: "xx==" or "xxx=".
  std::size_t pad = 0;
  if (p[n - 1] == '=') pad = p[n - 2] == '=' ? 2 : 1;

  const std::size_t full_groups = n / 4 - (pad != 0 ? 1 : 0);
  for (std::size_t g = 0; g < full_groups; ++g, p += 4) {
    const std::uint8_t a = kDigits[p[0]], b = kDigits[p[1]], c = kDigits[p[2]], d = kDigits[p[3]];
    // kInvalid has the top bits set; no digit has.
    if ((a | b | c | d) & 0xC0) return false;
    if (o == nullptr) continue;
    const std::uint32_t v = (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6) | d;
    o[0] = static_cast<std::uint8_t>(v >> 16);
    o[1] = static_cast<std::uint8_t>(v >> 8);
    o[2] = static_cast<std::uint8_t>(v);
    o += 3;
  }
  if (pad != 0) {
    const std::uint8_t a = kDigits[p[0]], b = kDigits[p[1]];
    if (a == kInvalid || b == kInvalid) return false;
    std::uint8_t c = 0;
    if (pad == 2) {
      // The low 4 bits of the second digit never reach the output.
      if (b & 0x0F) return false;
    } else {
      c = kDigits[p[2]];
      if (c == kInvalid || (c & 0x03)) return false;
    }
    if (o != nullptr) {
      o[0] = static_cast<std::uint8_t>((a << 2) | (b >> 4));
      if (pad == 1) o[1] = static_cast<std::uint8_t>((b << 4) | (c >> 2));
    }
  }
  return true;
}

// Bytes of a text of valid length; the padding of the last group counts.
std::size_t size_from_length(ByteView text) {
  const std::size_t n = text.size();
  if (n == 0) return 0;
  const std::size_t pad = text[n - 1] != '=' ? 0 : text[n - 2] == '=' ? 2 : 1;
  return n / 4 * 3 - pad;
}

}  // namespace

std::optional<std::size_t> decoded_size(ByteView text) {
  if (!decode_to(text, nullptr)) return std::nullopt;
  return size_from_length(text);
}

std::optional<Bytes> decode(ByteView text) {
  if (text.size() % 4 != 0) return std::nullopt;
  Bytes out(size_from_length(text));
  if (!decode_to(text, out.data())) return std::nullopt;
  return out;
}

}  // namespace tarnwick::base64
