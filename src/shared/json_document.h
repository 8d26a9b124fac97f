#pragma once

#include <simdjson.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

// Parsing: one strict JSON document, short descriptions of its values for error messages, and
// arrays read item by item. Reading an object's fields by type is json_reader.h's.
namespace varn {

// A value inside a parsed JSON document; valid as long as its JsonDocument lives.
using JsonValue = simdjson::dom::element;

// How deep values may nest in a document parseJson() accepts: the document's value is level 1,
// a value inside it level 2, and so on. Our files use four levels; the rules file lies in a
// folder every user can write to, and nothing we read needs more.
inline constexpr size_t kJsonNestingLimit = 128;

// One parsed document: owns the values its root() leads to.
class JsonDocument {
 public:
  JsonDocument(JsonDocument&&) noexcept = default;
  JsonDocument& operator=(JsonDocument&&) noexcept = default;
  ~JsonDocument();

  JsonValue root() const { return root_; }

 private:
  friend Result<JsonDocument> parseJson(std::string_view text);
  JsonDocument(std::unique_ptr<simdjson::dom::parser> parser, JsonValue root)
      : parser_(std::move(parser)), root_(root) {}

  // Kept behind a pointer: values point into the parser's document, which must not move.
  std::unique_ptr<simdjson::dom::parser> parser_;
  JsonValue root_;
};

// Parses `text` as one strict JSON document (RFC 8259, valid UTF-8) without throwing; the error
// says what is wrong and, where it can, at which line and column. Refused as well: values nested
// more than kJsonNestingLimit levels deep, integers beyond 64 bits (none of our files can hold
// one) and a NUL byte anywhere.
Result<JsonDocument> parseJson(std::string_view text);

// A short description of a JSON value for error messages: `number 12`, `string "Block"`,
// `null`, `an array`, `an object`, `true`. Long strings are shortened.
std::string describeJson(JsonValue value);
// The description of a JSON string holding `text`: `string "Block"`.
std::string describeJsonString(std::string_view text);

// True for a JSON number written as an integer (10, -3), whatever its size; 10.0 and 1e3 are not.
bool isJsonInteger(JsonValue value);
// Reads a JSON integer in the signed 64-bit range, or nothing.
std::optional<std::int64_t> jsonInteger(JsonValue value);

// Parses `text` as one JSON array and reads its items in order with
// `readItem(JsonValue item, std::string path)` -> Result<T>, where path is "[index]".
// The first item that fails fails the whole array with that item's error. A document that is
// not an array fails with "expected an array of <what>, found <what it is>".
template <typename T, typename ReadItem>
Result<std::vector<T>> decodeJsonArray(std::string_view text, std::string_view what,
                                       ReadItem readItem) {
  Result<JsonDocument> document = parseJson(text);
  if (!document.ok()) return document.error();
  simdjson::dom::array array;
  if (document.value().root().get_array().get(array) != simdjson::SUCCESS) {
    return Error{"expected an array of " + std::string(what) + ", found " +
                 describeJson(document.value().root())};
  }
  std::vector<T> items;
  items.reserve(array.size());
  size_t index = 0;
  for (JsonValue item : array) {
    Result<T> decoded = readItem(item, "[" + std::to_string(index++) + "]");
    if (!decoded.ok()) return decoded.error();
    items.push_back(std::move(decoded).value());
  }
  return items;
}

}  // namespace varn
