#include "shared/json_reader.h"

#include "shared/date_time.h"

namespace varn {

JsonObjectReader::JsonObjectReader(JsonValue value, std::string path) : path_(std::move(path)) {
  simdjson::dom::object object;
  if (value.get_object().get(object) != simdjson::SUCCESS) {
    error_ = Error{(path_.empty() ? std::string() : path_ + ": ") + "expected an object, found " +
                   describeJson(value)};
    return;
  }
  fields_.reserve(object.size());
  for (const simdjson::dom::key_value_pair field : object) {
    fields_.push_back({field.key, field.value});
  }
}

std::string JsonObjectReader::pathOf(std::string_view key) const {
  return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
}

void JsonObjectReader::fail(std::string_view key, std::string_view problem) {
  if (error_) return;
  error_ = Error{pathOf(key) + ": " + std::string(problem)};
}

void JsonObjectReader::expected(std::string_view key, std::string_view what, JsonValue found) {
  fail(key, "expected " + std::string(what) + ", found " + describeJson(found));
}

std::optional<JsonValue> JsonObjectReader::find(std::string_view key) const {
  // From the end: of two equal keys the last counts (simdjson's own lookup takes the first).
  for (auto field = fields_.rbegin(); field != fields_.rend(); ++field) {
    if (field->key == key) return field->value;
  }
  return std::nullopt;
}

std::optional<JsonValue> JsonObjectReader::optional(std::string_view key) {
  if (error_) return std::nullopt;
  std::optional<JsonValue> found = find(key);
  if (!found || found->is_null()) return std::nullopt;
  return found;
}

std::optional<JsonValue> JsonObjectReader::required(std::string_view key) {
  if (error_) return std::nullopt;
  std::optional<JsonValue> found = find(key);
  if (!found) {
    fail(key, "required key is missing");
  } else if (found->is_null()) {
    fail(key, "required key is null");
    found.reset();
  }
  return found;
}

std::optional<std::string> JsonObjectReader::string(std::string_view key) {
  const std::optional<JsonValue> v = required(key);
  if (!v) return std::nullopt;
  std::string_view text;
  if (v->get_string().get(text) != simdjson::SUCCESS) {
    expected(key, "a string", *v);
    return std::nullopt;
  }
  return std::string(text);
}

namespace {

std::optional<std::vector<std::string>> readStringArray(JsonObjectReader& reader,
                                                        std::string_view key, JsonValue v) {
  simdjson::dom::array array;
  if (v.get_array().get(array) != simdjson::SUCCESS) {
    reader.expected(key, "an array of strings", v);
    return std::nullopt;
  }
  std::vector<std::string> out;
  out.reserve(array.size());
  for (JsonValue item : array) {
    std::string_view text;
    if (item.get_string().get(text) != simdjson::SUCCESS) {
      reader.expected(std::string(key) + "[" + std::to_string(out.size()) + "]", "a string", item);
      return std::nullopt;
    }
    out.emplace_back(text);
  }
  return out;
}

std::optional<std::int64_t> readInteger(JsonObjectReader& reader, std::string_view key,
                                        JsonValue v) {
  std::optional<std::int64_t> n = jsonInteger(v);
  if (!n) reader.expected(key, "a whole number in the signed 64-bit range", v);
  return n;
}

}  // namespace

std::optional<std::vector<std::string>> JsonObjectReader::stringArray(std::string_view key) {
  const std::optional<JsonValue> v = required(key);
  if (!v) return std::nullopt;
  return readStringArray(*this, key, *v);
}

std::optional<std::vector<std::string>> JsonObjectReader::optionalStringArray(
    std::string_view key) {
  const std::optional<JsonValue> v = optional(key);
  if (!v) return std::nullopt;
  return readStringArray(*this, key, *v);
}

std::optional<platform::Uuid> JsonObjectReader::uuid(std::string_view key) {
  const std::optional<JsonValue> v = required(key);
  if (!v) return std::nullopt;
  std::optional<platform::Uuid> parsed;
  std::string_view text;
  if (v->get_string().get(text) == simdjson::SUCCESS) parsed = platform::Uuid::parse(text);
  if (!parsed) expected(key, "a UUID like \"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\"", *v);
  return parsed;
}

std::optional<bool> JsonObjectReader::boolean(std::string_view key) {
  const std::optional<JsonValue> v = required(key);
  if (!v) return std::nullopt;
  bool value = false;
  if (v->get_bool().get(value) != simdjson::SUCCESS) {
    expected(key, "true or false", *v);
    return std::nullopt;
  }
  return value;
}

std::optional<std::int64_t> JsonObjectReader::integer(std::string_view key) {
  const std::optional<JsonValue> v = required(key);
  if (!v) return std::nullopt;
  return readInteger(*this, key, *v);
}

std::optional<std::int64_t> JsonObjectReader::optionalInteger(std::string_view key) {
  const std::optional<JsonValue> v = optional(key);
  if (!v) return std::nullopt;
  return readInteger(*this, key, *v);
}

std::optional<platform::Instant> JsonObjectReader::dateTime(std::string_view key) {
  const std::optional<JsonValue> v = required(key);
  if (!v) return std::nullopt;
  std::optional<platform::Instant> parsed;
  std::string_view text;
  if (v->get_string().get(text) == simdjson::SUCCESS) parsed = parseInternetDateTime(text);
  if (!parsed) expected(key, "a date-time like \"2026-03-02T17:30:00Z\"", *v);
  return parsed;
}

}  // namespace varn
