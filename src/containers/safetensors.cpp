#include "containers/safetensors.h"

#include <string_view>
#include <utility>
#include <vector>

#include "core/base64.h"

namespace tarnwick::safetensors {
namespace {

constexpr std::uint64_t kLengthSize = 8;
constexpr std::uint64_t kAlignment = 8;  // of the tensor data, as written
constexpr std::string_view kMetadataKey = "__metadata__";
static_assert(kMetadataKey.size() == 12);

// Wider than JSON's whitespace: form feed passes the format test, and the
// parser then rejects it.
constexpr bool is_format_space(std::uint8_t c) {
  return c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x20;
}

bool is_c2pa_member(const json::Member& m) { return m.key == kStoreKey || m.key == kUriKey; }

// Drops every C2PA member from every object that is the value of a
// "__metadata__" member, at any depth: the same objects that read_store
// searches, so nothing a reader could find survives. Walks with an explicit
// stack, since the input sets the depth.
void strip_c2pa(json::Object& header) {
  std::vector<json::Value*> pending;
  auto visit_members = [&](json::Object& members) {
    for (json::Member& m : members) {
      auto* object = std::get_if<json::Object>(&m.value.v);
      if (object && m.key == kMetadataKey) std::erase_if(*object, is_c2pa_member);
      if (object || std::holds_alternative<json::Array>(m.value.v)) pending.push_back(&m.value);
    }
  };
  visit_members(header);
  while (!pending.empty()) {
    json::Value* value = pending.back();
    pending.pop_back();
    if (auto* members = std::get_if<json::Object>(&value->v)) {
      visit_members(*members);
    } else {
      for (json::Value& item : std::get<json::Array>(value->v)) {
        if (std::holds_alternative<json::Object>(item.v) ||
            std::holds_alternative<json::Array>(item.v)) {
          pending.push_back(&item);
        }
      }
    }
  }
}

// Relative to the first header byte: the raw text between the quotation marks.
struct Span {
  std::uint64_t start;
  std::uint64_t end;
};

// Finds every string value keyed "c2pa:manifest" directly inside an object
// keyed "__metadata__", at any depth, by one pass over the raw header bytes.
// The header has been validated as JSON (so nesting is bounded) before this.
std::vector<Span> find_store_strings(std::string_view header) {
  std::vector<bool> open;                   // per open container: is it an object?
  std::vector<std::size_t> metadata_depths;  // depth just inside each open metadata object
  bool expect_key = false;
  bool after_key = false;  // the last string was a key, only ":" since
  std::string_view key;
  std::vector<Span> spans;

  for (std::size_t i = 0; i < header.size(); ++i) {
    switch (header[i]) {
      case '"': {
        const std::size_t start = i + 1;
        std::size_t end = json::next_quote_or_backslash(header, start);
        while (end < header.size() && header[end] == '\\') {
          if (header.size() - end < 2) return spans;
          end = json::next_quote_or_backslash(header, end + 2);
        }
        if (end >= header.size()) return spans;
        if (expect_key) {
          key = header.substr(start, end - start);
          after_key = true;
        } else {
          if (!metadata_depths.empty() && open.size() == metadata_depths.back() && after_key &&
              key == kStoreKey) {
            spans.push_back(Span{start, end});
          }
          after_key = false;
        }
        expect_key = false;
        i = end;
        break;
      }
      case '{':
        if (after_key && key == kMetadataKey) metadata_depths.push_back(open.size() + 1);
        open.push_back(true);
        expect_key = true;
        after_key = false;
        break;
      case '[':
        open.push_back(false);
        expect_key = false;
        after_key = false;
        break;
      case ']':
      case '}':
        // Closing a nested metadata object resumes the search of the one
        // around it.
        if (!metadata_depths.empty() && open.size() == metadata_depths.back()) {
          metadata_depths.pop_back();
        }
        if (!open.empty()) open.pop_back();
        expect_key = false;
        after_key = false;
        break;
      case ',':
        expect_key = !open.empty() && open.back();
        after_key = false;
        break;
      case ':':
        expect_key = false;
        break;
      default:
        break;
    }
  }
  return spans;
}

// The store strings of a header that must first prove to be UTF-8 JSON.
Result<std::vector<Span>> store_value_ranges(ByteView data, HeaderBounds bounds) {
  const ByteView header = data.subspan(bounds.start, bounds.end - bounds.start);
  if (!is_utf8(header)) return Error::malformed_exclusion("header is not UTF-8");
  if (std::string error = json::validate(text_of(header)); !error.empty()) {
    return Error::malformed_exclusion("header length field does not span valid JSON: " + error);
  }
  return find_store_strings(text_of(header));
}

}  // namespace

Result<HeaderBounds> header_bounds(ByteView data) {
  Cursor cursor(data);
  std::uint64_t length;
  if (!cursor.u64le(&length)) return Error::malformed("file shorter than SafeTensors header");
  if (!fits(kLengthSize, length, data.size())) return Error::malformed("header length exceeds file");
  return HeaderBounds{kLengthSize, kLengthSize + length};
}

bool is_safetensors(ByteView data) {
  auto bounds = header_bounds(data);
  if (!bounds.ok()) return false;
  for (std::uint64_t i = bounds->start; i < bounds->end; ++i) {
    if (!is_format_space(data[i])) return data[i] == '{';
  }
  return false;
}

Result<Split> split(ByteView data) {
  TW_TRY(const HeaderBounds bounds, header_bounds(data));
  const ByteView header = data.subspan(bounds.start, bounds.end - bounds.start);
  if (!is_utf8(header)) return Error::malformed("header is not UTF-8");
  json::ParseResult parsed = json::parse(text_of(header));
  if (!parsed.ok()) return Error::malformed(std::move(parsed.error));
  auto* object = std::get_if<json::Object>(&parsed.value.v);
  if (!object) return Error::malformed("header is not a JSON object");
  return Split{std::move(*object), data.subspan(bounds.end)};
}

Pieces assemble(const json::Object& header, ByteView rest, std::size_t reserve) {
  Bytes head;
  head.reserve(kLengthSize + reserve);
  head.resize(kLengthSize);
  json::write_object(head, header);
  // Trailing spaces keep the tensor data 8-byte aligned, as the format's own
  // writer does: loaders that map the file view tensors in place.
  head.resize((head.size() + kAlignment - 1) / kAlignment * kAlignment, ' ');
  const std::uint64_t length = head.size() - kLengthSize;
  for (std::uint64_t i = 0; i < kLengthSize; ++i) head[i] = static_cast<std::uint8_t>(length >> (8 * i));
  Pieces out;
  out.add_owned(std::move(head));
  out.add_view(rest);
  return out;
}

Result<std::optional<StoreRange>> locate_store(ByteView data) {
  TW_TRY(const HeaderBounds bounds, header_bounds(data));
  TW_TRY(const std::vector<Span> spans, store_value_ranges(data, bounds));
  if (spans.empty()) return std::optional<StoreRange>();
  if (spans.size() > 1) return Error::duplicate_manifest(Format::SafeTensors);
  // Taken raw from the input: escapes are not resolved, so an escaped value
  // fails as Base64.
  const StoreRange range{bounds.start + spans.front().start, spans.front().end - spans.front().start};
  if (!base64::decoded_size(data.subspan(range.offset, range.length))) {
    return Error::malformed_reference("value is not valid Base64");
  }
  return std::optional<StoreRange>(range);
}

Result<std::optional<std::string>> read_uri(ByteView data) {
  TW_TRY(Split file, split(data));
  const json::Value* metadata = json::object_find(file.header, kMetadataKey);
  const auto* members = metadata ? std::get_if<json::Object>(&metadata->v) : nullptr;
  if (!members) return std::optional<std::string>();
  const json::Value* uri = nullptr;
  for (const json::Member& m : *members) {
    if (m.key != kUriKey) continue;
    if (uri) return Error::duplicate_uri(Format::SafeTensors);
    uri = &m.value;
  }
  const auto* text = uri ? std::get_if<json::String>(&uri->v) : nullptr;
  if (!text) return std::optional<std::string>();
  return std::optional<std::string>(*text);
}

Result<Pieces> embed(ByteView data, const ManifestSource& source) {
  if (source.empty()) return Error::empty_source();
  TW_TRY(Split file, split(data));
  strip_c2pa(file.header);

  json::Value* metadata = json::object_find(file.header, kMetadataKey);
  if (!metadata) {
    file.header.push_back(json::Member{std::string(kMetadataKey), json::Value{json::Object{}}});
    metadata = &file.header.back().value;
  }
  auto* members = std::get_if<json::Object>(&metadata->v);
  if (!members) return Error::malformed("__metadata__ is not a JSON object");

  std::size_t added = 0;
  if (source.store()) {
    std::string text = base64::encode(*source.store());
    added += text.size();
    json::object_set(*members, kStoreKey, json::Value{std::move(text)});
  }
  if (source.uri()) {
    added += source.uri()->size() * 6;  // worst case: every byte escaped
    json::object_set(*members, kUriKey, json::Value{*source.uri()});
  }
  return assemble(file.header, file.rest, data.size() - file.rest.size() + added + 64);
}

Result<Pieces> remove(ByteView data) {
  TW_TRY(Split file, split(data));
  strip_c2pa(file.header);
  std::erase_if(file.header, [](const json::Member& m) {
    const auto* members = std::get_if<json::Object>(&m.value.v);
    return m.key == kMetadataKey && members && members->empty();
  });
  return assemble(file.header, file.rest, data.size() - file.rest.size());
}

}  // namespace tarnwick::safetensors
