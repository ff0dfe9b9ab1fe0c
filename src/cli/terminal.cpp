#include "cli/terminal.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "core/bytes.h"

namespace tarnwick::cli {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kProgressThreshold = 256 * kMiB;

// Set from before a bar is drawn until its line is cleared; read by signal
// handlers, on any thread.
std::atomic<bool> g_bar_on_screen{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Length of the UTF-8 sequence at b[i] and its code point; 0 if it is not one.
std::size_t decode(ByteView b, std::size_t i, char32_t* cp) {
  std::uint8_t c = b[i];
  std::size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
  if (len > b.size() - i || !is_utf8(b.subspan(i, len))) return 0;
  static constexpr std::uint8_t kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t v = c & kLeadMask[len];
  for (std::size_t k = 1; k < len; ++k) v = (v << 6) | (b[i + k] & 0x3F);
  *cp = v;
  return len;
}

bool acts_on_terminal(char32_t cp) {
  return cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069) || cp == 0x2028 || cp == 0x2029;
}

// Characters above U+007F that do not show, or show as a space: spaces,
// format characters (bidi controls, zero-width ones, tags), other
// default-ignorable ones (Hangul fillers, variation selectors), noncharacters.
struct Range {
  char32_t first, last;
};
constexpr Range kUnseen[] = {
    {0x00A0, 0x00A0},   {0x00AD, 0x00AD},   {0x034F, 0x034F},   {0x0600, 0x0605},   {0x061C, 0x061C},
    {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x115F, 0x1160},
    {0x1680, 0x1680},   {0x17B4, 0x17B5},   {0x180B, 0x180F},   {0x2000, 0x200F},   {0x2028, 0x202F},
    {0x205F, 0x206F},   {0x3000, 0x3000},   {0x3164, 0x3164},   {0xFDD0, 0xFDEF},   {0xFE00, 0xFE0F},
    {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0},   {0xFFF0, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF},
};

bool raw_in_uri(char32_t cp) {
  if (cp <= 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F)) return false;
  if ((cp & 0xFFFE) == 0xFFFE) return false;  // the last two of every plane
  for (const Range& r : kUnseen)
    if (cp >= r.first && cp <= r.last) return false;
  return true;
}

std::string formatted(const char* format, unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

std::string human_size(std::uint64_t n) {
  char buf[32];
  if (n >= 1024 * kMiB)
    std::snprintf(buf, sizeof buf, "%.2f GiB", static_cast<double>(n) / (1024.0 * kMiB));
  else
    std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(n) / kMiB);
  return buf;
}

std::string clock_time(double seconds) {
  auto s = static_cast<long long>(seconds + 0.5);
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
  return buf;
}

}  // namespace

std::string escaped(std::string_view s) {
  std::string out;
  ByteView b = view_of(s);
  for (std::size_t i = 0; i < b.size();) {
    char32_t cp;
    std::size_t len = decode(b, i, &cp);
    if (len == 0 || (len == 1 && acts_on_terminal(cp))) {
      out += formatted("\\x%02X", b[i]);
      len = 1;
    } else if (acts_on_terminal(cp)) {
      out += formatted("\\u%04X", static_cast<unsigned>(cp));
    } else {
      out += text_of(b.subspan(i, len));
    }
    i += len;
  }
  return out;
}

bool is_printable(std::string_view s) { return escaped(s) == s; }

std::string json_string(std::string_view s) {
  std::string out = "\"";
  ByteView b = view_of(s);
  for (std::size_t i = 0; i < b.size();) {
    char32_t cp;
    std::size_t len = decode(b, i, &cp);
    if (len == 0) {
      out += formatted("\\udc%02x", b[i]);
      len = 1;
    } else if (cp == '"' || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (acts_on_terminal(cp)) {
      out += formatted("\\u%04x", static_cast<unsigned>(cp));
    } else {
      out += text_of(b.subspan(i, len));
    }
    i += len;
  }
  return out + "\"";
}

std::string percent_encoded(std::string_view uri) {
  std::string out;
  ByteView b = view_of(uri);
  for (std::size_t i = 0; i < b.size();) {
    char32_t cp;
    std::size_t len = decode(b, i, &cp);
    if (len != 0 && raw_in_uri(cp)) {
      out += text_of(b.subspan(i, len));
    } else {
      len = std::max<std::size_t>(len, 1);
      for (std::size_t k = 0; k < len; ++k) out += formatted("%%%02X", b[i + k]);
    }
    i += len;
  }
  return out;
}

void clear_progress_line() noexcept {
  static constexpr char kClear[] = "\r\033[K";
  if (!g_bar_on_screen.exchange(false)) return;
  ssize_t ignored = ::write(STDERR_FILENO, kClear, sizeof kClear - 1);
  (void)ignored;
}

ProgressBar::ProgressBar(std::uint64_t total, bool quiet)
    : enabled_(!quiet && total > kProgressThreshold && isatty(STDERR_FILENO)),
      start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() { clear_progress_line(); }

bool ProgressBar::operator()(std::uint64_t done, std::uint64_t total) {
  if (!enabled_ || total == 0) return true;
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
  int percent = static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(total));
  std::string left = rate > 0 ? clock_time(static_cast<double>(total - done) / rate) : "?";
  // Set first: a signal during the draw still clears what was drawn.
  g_bar_on_screen = true;
  std::fprintf(stderr, "\r%s / %s  %3d%%  %s/s  %s left\033[K", human_size(done).c_str(),
               human_size(total).c_str(), percent, human_size(static_cast<std::uint64_t>(rate)).c_str(),
               left.c_str());
  std::fflush(stderr);
  return true;
}

}  // namespace tarnwick::cli
