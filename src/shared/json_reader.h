#pragma once

#include <simdjson.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/result.h"
#include "platform/uuid.h"

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

// Reads the fields of one JSON object, in the order the caller asks for them, and keeps the
// first fault it meets. Every accessor returns nothing once a fault has been recorded, so a
// decoder reads its keys in table order and reports the first fault in that order. A key that
// appears twice in the object has its last value.
// Messages read "<path>.<key>: expected <what>, found <what>" ("[2].days[0]: ...").
class JsonObjectReader {
 public:
  // `path` locates the object in its document ("" for the top level, "[2]" for an array item).
  JsonObjectReader(JsonValue value, std::string path);

  // Required keys: missing or null is a fault.
  std::optional<std::string> string(std::string_view key);
  std::optional<std::vector<std::string>> stringArray(std::string_view key);
  std::optional<platform::Uuid> uuid(std::string_view key);
  std::optional<bool> boolean(std::string_view key);
  // A JSON integer in the signed 64-bit range; 10.0 and 1e3 are not integers.
  std::optional<std::int64_t> integer(std::string_view key);
  // An RFC 3339 date-time string.
  std::optional<platform::Instant> dateTime(std::string_view key);

  // The value at `key` when present and not null; nothing otherwise (no fault recorded).
  std::optional<JsonValue> optional(std::string_view key);
  // The value at `key`; records "missing" (absent or null) and returns nothing.
  std::optional<JsonValue> required(std::string_view key);

  // Readers of optional keys: absent and null give an empty outer optional without a fault.
  std::optional<std::vector<std::string>> optionalStringArray(std::string_view key);
  std::optional<std::int64_t> optionalInteger(std::string_view key);

  // Records a fault at `key` (ignored when one is already recorded).
  void fail(std::string_view key, std::string_view problem);
  // Records "<key>: expected <expected>, found <describeJson(found)>".
  void expected(std::string_view key, std::string_view expected, JsonValue found);

  bool ok() const { return !error_.has_value(); }
  // The first fault; only when !ok().
  const Error& error() const { return *error_; }
  // The path of `key` inside the document: "[2].days".
  std::string pathOf(std::string_view key) const;

 private:
  // The last value of `key` in the object, null included; nothing when the key is absent.
  std::optional<JsonValue> find(std::string_view key) const;

  struct Field {
    std::string_view key;
    JsonValue value;
  };
  // The object's fields in file order, gathered once: walking simdjson's object for each key
  // costs more than the rest of decoding it.
  std::vector<Field> fields_;
  std::string path_;
  std::optional<Error> error_;
};

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
