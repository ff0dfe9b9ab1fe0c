// JSON value tree, parser and compact writer.
//
// Made for rewriting a header without disturbing it: numbers keep their
// source text, objects keep member order and duplicate keys, and the writer
// has exactly one way to spell each string.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/bytes.h"

namespace tarnwick::json {

// Deepest nesting of arrays and objects that `parse` accepts: the limit of
// the JSON parser inside the reference SafeTensors loader, so no header it
// can load is refused here.
inline constexpr std::size_t kMaxDepth = 128;

struct Value;
struct Member;
struct Null {};
struct Number {
  std::string text;  // exactly as it stood in the input, never converted
};
using String = std::string;  // decoded UTF-8, escapes resolved
using Array = std::vector<Value>;
using Object = std::vector<Member>;  // in input order, duplicates kept

struct Value {
  std::variant<Null, bool, Number, String, Array, Object> v;
};
struct Member {
  std::string key;
  Value value;
};

// The value of a document, or the failure text ("unexpected end of input",
// "trailing data at byte 2", "nesting deeper than 128 levels at 128", ...).
struct ParseResult {
  Value value;
  std::string error;  // empty on success
  bool ok() const { return error.empty(); }
};
[[nodiscard]] ParseResult parse(std::string_view text);
// The failure text `parse` would give, or "" when the text is valid; builds
// no tree.
[[nodiscard]] std::string validate(std::string_view text);

// Index of the first quotation mark or backslash at or after `from` (the
// end of a run of plain string bytes), or text.size() when there is none.
[[nodiscard]] std::size_t next_quote_or_backslash(std::string_view text, std::size_t from);

// Append compact JSON text, no whitespace anywhere.
void write_value(Bytes& out, const Value& value);
void write_object(Bytes& out, const Object& members);
void write_string(Bytes& out, std::string_view text);

// Member lookup and edits act on the first member with a byte-equal key.
[[nodiscard]] Value* object_find(Object& members, std::string_view key);
[[nodiscard]] const Value* object_find(const Object& members, std::string_view key);
// Replaces the first such member's value in place, or appends a new member.
void object_set(Object& members, std::string_view key, Value value);
// Removes the first such member; false when there is none.
bool object_remove(Object& members, std::string_view key);

}  // namespace tarnwick::json
