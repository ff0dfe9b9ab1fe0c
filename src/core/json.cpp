#include "core/json.h"

#include <array>
#include <bit>
#include <cstring>
#include <charconv>
#include <cstdint>
#include <utility>
#include <vector>

namespace tarnwick::json {
namespace {

// Form feed is deliberately absent: JSON does not allow it between tokens.
constexpr bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Bytes a number's source text may hold. Nothing about their order is
// checked: the text is carried, not interpreted.
constexpr std::array<bool, 256> make_number_bytes() {
  std::array<bool, 256> t{};
  for (char c : std::string_view("0123456789+-.eE")) t[static_cast<unsigned char>(c)] = true;
  return t;
}
constexpr auto kNumberBytes = make_number_bytes();
static_assert(kNumberBytes['7'] && kNumberBytes['E'] && kNumberBytes['+'] && !kNumberBytes[' ']);

// The byte each one-letter escape stands for; 0 for none ("\u" is separate).
constexpr std::array<char, 256> make_escapes() {
  std::array<char, 256> t{};
  t['"'] = '"';
  t['\\'] = '\\';
  t['/'] = '/';
  t['b'] = '\b';
  t['f'] = '\f';
  t['n'] = '\n';
  t['r'] = '\r';
  t['t'] = '\t';
  return t;
}
constexpr auto kEscapes = make_escapes();
static_assert(kEscapes['n'] == 0x0A && kEscapes['b'] == 0x08 && kEscapes['u'] == 0);

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Eight bytes at a time: a byte of `word` equal to c, or below 0x20 when
// `controls` is set, leaves its high bit set in the result. Bytes above the
// first hit may be marked falsely (borrows), so only the lowest hit counts.
constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighs = 0x8080808080808080ull;
constexpr std::uint64_t zero_bytes(std::uint64_t x) { return (x - kOnes) & ~x & kHighs; }
constexpr std::uint64_t special_bytes(std::uint64_t word, bool controls) {
  std::uint64_t hits = zero_bytes(word ^ (kOnes * '"')) | zero_bytes(word ^ (kOnes * '\\'));
  if (controls) hits |= (word - kOnes * 0x20) & ~word & kHighs;
  return hits;
}
static_assert(special_bytes(0x4141414141224141ull, false) == 0x0000000000800000ull);
static_assert(special_bytes(0x41414141411F4141ull, true) == 0x0000000000800000ull);
static_assert(special_bytes(0x4141414141414141ull, true) == 0);

// Index of the first quotation mark, backslash (or, with `controls`, byte
// below 0x20) at or after i.
std::size_t next_special(std::string_view text, std::size_t i, bool controls) {
  if constexpr (std::endian::native == std::endian::little) {
    for (; text.size() - i >= 8; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      if (const std::uint64_t hits = special_bytes(word, controls)) {
        return i + static_cast<std::size_t>(std::countr_zero(hits) / 8);
      }
    }
  }
  for (; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\' || (controls && c < 0x20)) break;
  }
  return i;
}

std::string hex(unsigned value) {
  char buf[8];
  auto r = std::to_chars(buf, buf + sizeof buf, value, 16);
  return std::string(buf, r.ptr);
}

// One parse. The containers still open are a stack of flags on the heap, so
// the input's nesting never reaches the call stack.
class Parser {
 public:
  Parser(std::string_view input, Events& events) : input_(input), events_(events) {}

  bool parse_document();
  std::string take_error() { return std::move(error_); }

 private:
  bool at_end() const { return pos_ >= input_.size(); }
  char peek() const { return input_[pos_]; }
  void skip_space() {
    while (!at_end() && is_space(peek())) ++pos_;
  }
  bool fail(std::string text) {
    error_ = std::move(text);
    return false;
  }
  std::string at() const { return std::to_string(pos_); }

  bool start_value(bool* opened);
  bool open_container(bool object, bool* opened);
  bool read_key();
  bool parse_string();
  bool parse_escape();
  bool parse_hex4(std::uint32_t* out);
  bool parse_literal(std::string_view literal);
  void parse_number();

  std::string_view input_;
  Events& events_;
  std::uint64_t pos_ = 0;
  std::vector<bool> open_;  // per open container: is it an array?
  std::string text_;        // the decoded text of the last string
  std::string error_;
};

bool Parser::parse_document() {
  skip_space();
  for (;;) {
    bool opened = false;
    if (!start_value(&opened)) return false;
    if (opened) continue;  // its first element or member value starts at pos_

    // A value is complete: close every container that ends right after it.
    for (;;) {
      if (open_.empty()) {
        skip_space();
        if (!at_end()) return fail("trailing data at byte " + at());
        return true;
      }
      const bool is_array = open_.back();
      skip_space();
      const char close = is_array ? ']' : '}';
      if (at_end() || (peek() != ',' && peek() != close)) {
        return fail((is_array ? "expected ',' or ']' at " : "expected ',' or '}' at ") + at());
      }
      if (input_[pos_++] == ',') {
        if (is_array) {
          skip_space();
        } else if (!read_key()) {
          return false;
        }
        break;  // the next element or member value starts at pos_
      }
      open_.pop_back();
      events_.close();
    }
  }
}

// One value starting exactly at pos_. A scalar or an empty container is
// reported whole; otherwise the container is opened and `opened` set.
bool Parser::start_value(bool* opened) {
  *opened = false;
  if (at_end()) return fail("unexpected end of input");
  const char c = peek();
  switch (c) {
    case '"': {
      const std::uint64_t begin = pos_ + 1;
      if (!parse_string()) return false;
      events_.string_value(text_, begin, pos_ - 1);
      return true;
    }
    case '[': return open_container(false, opened);
    case '{': return open_container(true, opened);
    case 't': return parse_literal("true");
    case 'f': return parse_literal("false");
    case 'n': return parse_literal("null");
    default: break;
  }
  if (c == '-' || (c >= '0' && c <= '9')) {
    parse_number();
    return true;
  }
  return fail("unexpected byte 0x" + hex(static_cast<unsigned char>(c)) + " at " + at());
}

bool Parser::open_container(bool object, bool* opened) {
  if (open_.size() >= kMaxDepth) {
    return fail("nesting deeper than " + std::to_string(kMaxDepth) + " levels at " + at());
  }
  ++pos_;
  events_.open(object);
  skip_space();
  if (!at_end() && peek() == (object ? '}' : ']')) {
    ++pos_;
    events_.close();
    return true;
  }
  open_.push_back(!object);
  *opened = true;
  return !object || read_key();
}

// A member's key and colon; leaves pos_ at the start of its value.
bool Parser::read_key() {
  skip_space();
  if (at_end() || peek() != '"') return fail("expected object key at " + at());
  if (!parse_string()) return false;
  skip_space();
  if (at_end() || peek() != ':') return fail("expected ':' at " + at());
  ++pos_;
  skip_space();
  events_.key(text_);
  return true;
}

// Decodes the string at pos_ into text_.
bool Parser::parse_string() {
  text_.clear();
  ++pos_;  // opening quotation mark
  for (;;) {
    if (at_end()) return fail("unterminated string");
    const char c = peek();
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (c == '\\') {
      ++pos_;
      if (!parse_escape()) return false;
      continue;
    }
    // A run of plain bytes is copied in one block, control bytes and all.
    const std::uint64_t end = next_special(input_, pos_ + 1, false);
    text_.append(input_.substr(pos_, end - pos_));
    pos_ = end;
  }
}

// pos_ is just past the backslash.
bool Parser::parse_escape() {
  if (at_end()) return fail("unterminated escape");
  const unsigned char e = static_cast<unsigned char>(input_[pos_++]);
  if (kEscapes[e] != 0) {
    text_ += kEscapes[e];
    return true;
  }
  if (e != 'u') {
    std::string shown;
    append_utf8(shown, e);  // a byte above 0x7F shows as U+0080..U+00FF
    return fail("invalid escape \\" + shown);
  }
  std::uint32_t u;
  if (!parse_hex4(&u)) return false;
  if (u >= 0xD800 && u <= 0xDBFF) {
    if (input_.size() - pos_ < 2 || input_[pos_] != '\\' || input_[pos_ + 1] != 'u') {
      return fail("lone high surrogate");
    }
    pos_ += 2;
    std::uint32_t low;
    if (!parse_hex4(&low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return fail("invalid low surrogate");
    append_utf8(text_, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
    return true;
  }
  if (u >= 0xDC00 && u <= 0xDFFF) return fail("invalid code point");
  append_utf8(text_, u);
  return true;
}

bool Parser::parse_hex4(std::uint32_t* out) {
  if (input_.size() - pos_ < 4) return fail("truncated \\u escape");
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = input_[pos_ + i];
    std::uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return fail("invalid \\u escape");
    }
    v = v << 4 | digit;
  }
  pos_ += 4;
  *out = v;
  return true;
}

bool Parser::parse_literal(std::string_view literal) {
  if (input_.substr(pos_, literal.size()) != literal) return fail("invalid literal at " + at());
  pos_ += literal.size();
  events_.scalar(literal);
  return true;
}

void Parser::parse_number() {
  std::uint64_t end = pos_ + 1;
  while (end < input_.size() && kNumberBytes[static_cast<unsigned char>(input_[end])]) ++end;
  events_.scalar(input_.substr(pos_, end - pos_));
  pos_ = end;
}

// For a parse that only checks.
class Ignore final : public Events {
 public:
  void open(bool) override {}
  void close() override {}
  void key(std::string_view) override {}
  void string_value(std::string_view, std::size_t, std::size_t) override {}
  void scalar(std::string_view) override {}
};

// Short escapes the writer uses; other control characters take "\u00xx".
constexpr std::array<char, 0x20> make_short_escapes() {
  std::array<char, 0x20> t{};
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  return t;
}
constexpr auto kShortEscapes = make_short_escapes();
static_assert(kShortEscapes[0x0C] == 'f' && kShortEscapes[0x0B] == 0);

}  // namespace

std::string parse(std::string_view text, Events* events) {
  Ignore ignore;
  Parser parser(text, events != nullptr ? *events : ignore);
  return parser.parse_document() ? std::string() : parser.take_error();
}

void write_string(Bytes& out, std::string_view text) {
  out.push_back('"');
  std::size_t run = 0;  // start of the bytes not yet written
  for (std::size_t i = next_special(text, 0, true); i < text.size(); i = next_special(text, i + 1, true)) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    append(out, text.substr(run, i - run));
    run = i + 1;
    out.push_back('\\');
    if (c == '"' || c == '\\') {
      out.push_back(c);
    } else if (kShortEscapes[c] != 0) {
      out.push_back(static_cast<std::uint8_t>(kShortEscapes[c]));
    } else {
      constexpr char kHex[] = "0123456789abcdef";
      const char u[] = {'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      append(out, std::string_view(u, sizeof u));
    }
  }
  append(out, text.substr(run));
  out.push_back('"');
}

std::string quoted(std::string_view text, std::size_t limit) {
  std::size_t cut = text.size();
  if (cut > limit) {
    cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  }
  Bytes out;
  write_string(out, text.substr(0, cut));
  std::string shown(text_of(out));
  if (cut < text.size()) shown += "...";
  return shown;
}

void Writer::before_value() {
  if (after_key_) {
    after_key_ = false;  // a member's value follows its colon
  } else if (!levels_.empty()) {
    if (levels_.back().has_items) out_.push_back(',');
    levels_.back().has_items = true;
  }
}

void Writer::open(bool object) {
  before_value();
  out_.push_back(object ? '{' : '[');
  levels_.push_back(Level{object, false});
}

void Writer::close() {
  out_.push_back(levels_.back().object ? '}' : ']');
  levels_.pop_back();
}

void Writer::key(std::string_view text) {
  if (levels_.back().has_items) out_.push_back(',');
  levels_.back().has_items = true;
  write_string(out_, text);
  out_.push_back(':');
  after_key_ = true;
}

void Writer::string_value(std::string_view text, std::size_t, std::size_t) {
  before_value();
  write_string(out_, text);
}

void Writer::scalar(std::string_view text) {
  before_value();
  append(out_, text);
}

Writer::Mark Writer::mark() const {
  return Mark{out_.size(), levels_.size(), !container_empty()};
}

void Writer::rollback(Mark mark) {
  out_.resize(mark.size);
  levels_.resize(mark.depth);
  if (!levels_.empty()) levels_.back().has_items = mark.had_items;
  after_key_ = false;
}

}  // namespace tarnwick::json
