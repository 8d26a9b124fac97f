#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/result.h"
#include "platform/uuid.h"

namespace varn {

// How deep arrays and objects may nest in a document parseJson() accepts. Our files nest three
// levels; a deeper document costs the parser memory out of all proportion to its size (a 1 MiB
// file of "[" held 80 MB), and the rules file lies in a folder every user can write to.
inline constexpr size_t kJsonNestingLimit = 128;

// Parses `text` as one JSON document without throwing; the error names where parsing stopped.
// A document whose arrays and objects nest more than kJsonNestingLimit levels deep is refused
// before parsing, in time linear in its size and without allocating.
Result<nlohmann::json> parseJson(std::string_view text);

// A short description of a JSON value for error messages: `number 12`, `string "Block"`,
// `null`, `an array`, `an object`, `true`. Long strings are shortened.
std::string describeJson(const nlohmann::json& value);

// Reads the fields of one JSON object, in the order the caller asks for them, and keeps the
// first fault it meets. Every accessor returns nothing once a fault has been recorded, so a
// decoder reads its keys in table order and reports the first fault in that order.
// Messages read "<path>.<key>: expected <what>, found <what>" ("[2].days[0]: ...").
class JsonObjectReader {
 public:
  // `path` locates the object in its document ("" for the top level, "[2]" for an array item).
  JsonObjectReader(const nlohmann::json& value, std::string path);

  // Required keys: missing or null is a fault.
  std::optional<std::string> string(std::string_view key);
  std::optional<std::vector<std::string>> stringArray(std::string_view key);
  std::optional<platform::Uuid> uuid(std::string_view key);
  std::optional<bool> boolean(std::string_view key);
  // A JSON integer in the signed 64-bit range; 10.0 and 1e3 are not integers.
  std::optional<std::int64_t> integer(std::string_view key);
  // An RFC 3339 date-time string.
  std::optional<platform::Instant> dateTime(std::string_view key);

  // The value at `key` when present and not null; nullptr otherwise (no fault recorded).
  const nlohmann::json* optional(std::string_view key);
  // The value at `key`; records "missing" (absent or null) and returns nullptr.
  const nlohmann::json* required(std::string_view key);

  // Readers of optional keys: absent and null give an empty outer optional without a fault.
  std::optional<std::vector<std::string>> optionalStringArray(std::string_view key);
  std::optional<std::int64_t> optionalInteger(std::string_view key);

  // Records a fault at `key` (ignored when one is already recorded).
  void fail(std::string_view key, std::string_view problem);
  // Records "<key>: expected <expected>, found <describeJson(found)>".
  void expected(std::string_view key, std::string_view expected, const nlohmann::json& found);

  bool ok() const { return !error_.has_value(); }
  // The first fault; only when !ok().
  const Error& error() const { return *error_; }
  // The path of `key` inside the document: "[2].days".
  std::string pathOf(std::string_view key) const;

 private:
  const nlohmann::json& value_;
  std::string path_;
  std::optional<Error> error_;
};

// Reads a JSON integer in the signed 64-bit range, or nothing.
std::optional<std::int64_t> jsonInteger(const nlohmann::json& value);

// Parses `text` as one JSON array and reads its items in order with
// `readItem(const nlohmann::json& item, std::string path)` -> Result<T>, where path is "[index]".
// The first item that fails fails the whole array with that item's error. A document that is
// not an array fails with "expected an array of <what>, found <what it is>".
template <typename T, typename ReadItem>
Result<std::vector<T>> decodeJsonArray(std::string_view text, std::string_view what,
                                       ReadItem readItem) {
  Result<nlohmann::json> document = parseJson(text);
  if (!document.ok()) return document.error();
  const nlohmann::json& array = document.value();
  if (!array.is_array()) {
    return Error{"expected an array of " + std::string(what) + ", found " + describeJson(array)};
  }
  std::vector<T> items;
  items.reserve(array.size());
  for (size_t i = 0; i < array.size(); ++i) {
    Result<T> item = readItem(array[i], "[" + std::to_string(i) + "]");
    if (!item.ok()) return item.error();
    items.push_back(std::move(item).value());
  }
  return items;
}

}  // namespace varn
