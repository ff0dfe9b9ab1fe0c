// JSON parser that reports tokens as it goes, and a compact writer.
//
// Made for rewriting a header without disturbing it and without holding it
// twice: the parser builds no tree, a caller sees each token once, in
// document order, and edits the stream it hands on to a Writer. Numbers keep
// their source text, members keep their order and duplicate keys, and the
// writer has exactly one way to spell each string.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"

namespace tarnwick::json {

// Deepest nesting of arrays and objects that `parse` accepts: the limit of
// the JSON parser inside the reference SafeTensors loader, so no header it
// can load is refused here.
inline constexpr std::size_t kMaxDepth = 128;

// The tokens of a document. Texts are valid until the next call. A string
// arrives decoded (escapes resolved) together with its raw text's place
// between its quotation marks, [raw_begin, raw_end) of the parsed text.
class Events {
 public:
  virtual void open(bool object) = 0;  // "{" or "["
  virtual void close() = 0;            // the innermost open container ends
  virtual void key(std::string_view text) = 0;
  virtual void string_value(std::string_view text, std::size_t raw_begin, std::size_t raw_end) = 0;
  virtual void scalar(std::string_view text) = 0;  // a number's source text, true, false or null

 protected:
  ~Events() = default;
};

// Parses a whole document (whitespace around it allowed), reporting its
// tokens to `events` (none when null). Returns "" on success, otherwise the
// failure text ("unexpected end of input", "trailing data at byte 2",
// "nesting deeper than 128 levels at 128", ...); the tokens reported before
// a failure are then to be discarded.
[[nodiscard]] std::string parse(std::string_view text, Events* events);

// Appends the tokens it receives as compact JSON: no whitespace, numbers
// verbatim, strings in one normal form (write_string).
class Writer final : public Events {
 public:
  explicit Writer(Bytes& out) : out_(out) {}

  void open(bool object) override;
  void close() override;
  void key(std::string_view text) override;
  void string_value(std::string_view text, std::size_t, std::size_t) override;
  void scalar(std::string_view text) override;

  // A point to go back to, taking back everything written since.
  struct Mark {
    std::size_t size;
    std::size_t depth;
    bool had_items;
  };
  Mark mark() const;
  void rollback(Mark mark);
  // True when the innermost open container has nothing in it yet.
  bool container_empty() const { return levels_.empty() || !levels_.back().has_items; }

 private:
  struct Level {
    bool object;
    bool has_items;
  };
  void before_value();

  Bytes& out_;
  std::vector<Level> levels_;
  bool after_key_ = false;
};

// Appends `text` as a quoted JSON string: quotation mark, backslash and
// control characters escaped, everything else as it is.
void write_string(Bytes& out, std::string_view text);

// A name from a file as a message shows it: a JSON string of at most
// `limit` bytes of the UTF-8 `text`, cut at a character and marked "...".
[[nodiscard]] std::string quoted(std::string_view text, std::size_t limit = 64);

}  // namespace tarnwick::json
