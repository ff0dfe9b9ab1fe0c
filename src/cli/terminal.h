// What the tool prints: every name, message and URI passes through one
// escaping function on its way to a terminal, and the progress bar.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick::cli {

// `s` with everything that could act on a terminal shown as an escape: C0
// controls and DEL as \xNN, C1 controls (U+0080 to U+009F, CSI among them),
// bidirectional overrides and isolates (U+202A to U+202E, U+2066 to U+2069)
// and line and paragraph separators as \uNNNN, bytes that are not UTF-8 as
// \xNN.
std::string escaped(std::string_view s);
// Whether escaped(s) would change nothing.
bool is_printable(std::string_view s);
// A JSON string literal, the same characters escaped as \uNNNN; each byte
// 0xXX that is not UTF-8 becomes \udcXX, the lone surrogate Python's
// surrogateescape decodes it to, so that a file name's bytes can be had back.
std::string json_string(std::string_view s);
// A URI as a line of output: every character a URI cannot hold raw (controls,
// spaces, DEL, bidi controls and other invisible format characters,
// noncharacters) and every byte that is not UTF-8 as %XX of each byte;
// printable non-ASCII characters (an IRI's) as they are.
std::string percent_encoded(std::string_view uri);

// Erases the progress bar's line if a bar is drawn there, so that what is
// printed next starts at the line's beginning. Async-signal-safe.
void clear_progress_line() noexcept;

// A progress callback: one line on a terminal's stderr, redrawn in place
// (bytes done, rate, time left), for copies of more than 256 MiB. The line
// is cleared when the bar ends and by clear_progress_line().
class ProgressBar {
 public:
  ProgressBar(std::uint64_t total, bool quiet);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  bool wanted() const { return enabled_; }
  bool operator()(std::uint64_t done, std::uint64_t total);

 private:
  bool enabled_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace tarnwick::cli
