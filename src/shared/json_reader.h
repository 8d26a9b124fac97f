#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/result.h"
#include "platform/uuid.h"
#include "shared/json_document.h"

namespace varn {

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

}  // namespace varn
