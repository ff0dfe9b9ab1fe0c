// JSON: parsing never fails unsafely, checking alone agrees with parsing,
// every string's raw text lies between its quotation marks, and a document
// written, parsed and written again gives the same text.
#include <cstdint>
#include <string_view>

#include "core/json.h"
#include "invariants.h"

namespace {

using namespace tarnwick;

// Hands the tokens on to a Writer, checking each string's raw place.
class Checked final : public json::Events {
 public:
  Checked(std::string_view text, json::Writer& out) : text_(text), out_(out) {}
  void open(bool object) override { out_.open(object); }
  void close() override { out_.close(); }
  void key(std::string_view text) override { out_.key(text); }
  void string_value(std::string_view text, std::size_t begin, std::size_t end) override {
    TW_ASSERT(0 < begin && begin <= end && end < text_.size());
    TW_ASSERT(text_[begin - 1] == '"' && text_[end] == '"');
    TW_ASSERT(text.size() <= end - begin);  // escapes only ever shrink
    out_.string_value(text, begin, end);
  }
  void scalar(std::string_view text) override { out_.scalar(text); }

 private:
  std::string_view text_;
  json::Writer& out_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Callers only ever parse UTF-8 text.
  if (!is_utf8(ByteView(data, size))) return 0;
  const std::string_view input = text_of(ByteView(data, size));
  Bytes text;
  json::Writer writer(text);
  Checked checked(input, writer);
  const std::string error = json::parse(input, &checked);
  TW_ASSERT(json::parse(input, nullptr) == error);
  if (!error.empty()) return 0;
  Bytes again;
  json::Writer rewriter(again);
  TW_ASSERT(json::parse(text_of(ByteView(text)), &rewriter).empty());
  TW_ASSERT(again == text);
  return 0;
}
