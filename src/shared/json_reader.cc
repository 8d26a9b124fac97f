#include "shared/json_reader.h"

#include <limits>

#include "shared/date_time.h"

namespace varn {

using nlohmann::json;

namespace {

// True when arrays and objects in `text` nest deeper than `limit`; brackets inside strings do not
// count. For text that is not JSON the answer means nothing, and the parser refuses it anyway.
bool nestsDeeperThan(std::string_view text, size_t limit) {
  size_t depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;  // an escaped quote does not end the string
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

}  // namespace

Result<json> parseJson(std::string_view text) {
  if (nestsDeeperThan(text, kJsonNestingLimit)) {
    return Error{"not valid JSON: arrays and objects nested more than " +
                 std::to_string(kJsonNestingLimit) + " levels deep"};
  }
  try {
    return json::parse(text.begin(), text.end());
  } catch (const json::exception& e) {
    // nlohmann's messages read "[json.exception.parse_error.101] parse error at line 1, ...";
    // the bracketed id means nothing to a user repairing the file.
    std::string message = e.what();
    if (message.starts_with("[json.exception.")) {
      const size_t close = message.find("] ");
      if (close != std::string::npos) message.erase(0, close + 2);
    }
    return Error{"not valid JSON: " + message};
  } catch (const std::exception& e) {
    return Error{std::string("not valid JSON: ") + e.what()};
  }
}

std::string describeJson(const json& value) {
  constexpr size_t kLongest = 40;
  switch (value.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::boolean:
      return value.get<bool>() ? "true" : "false";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
      return "number " + value.dump();
    case json::value_t::string: {
      std::string text = value.get<std::string>();
      const bool cut = text.size() > kLongest;
      if (cut) {
        text.resize(kLongest);
        // Do not cut a UTF-8 sequence in half.
        while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) {
          text.pop_back();
        }
        if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xC0) text.pop_back();
      }
      return "string " + json(text).dump(-1, ' ', true, json::error_handler_t::replace) +
             (cut ? "..." : "");
    }
    case json::value_t::array:
      return "an array";
    case json::value_t::object:
      return "an object";
    default:
      return "an unsupported value";
  }
}

std::optional<std::int64_t> jsonInteger(const json& value) {
  if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    const auto u = value.get<std::uint64_t>();
    if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return static_cast<std::int64_t>(u);
    }
  }
  return std::nullopt;
}

JsonObjectReader::JsonObjectReader(const json& value, std::string path)
    : value_(value), path_(std::move(path)) {
  if (!value_.is_object()) {
    error_ = Error{(path_.empty() ? std::string() : path_ + ": ") + "expected an object, found " +
                   describeJson(value_)};
  }
}

std::string JsonObjectReader::pathOf(std::string_view key) const {
  return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
}

void JsonObjectReader::fail(std::string_view key, std::string_view problem) {
  if (error_) return;
  error_ = Error{pathOf(key) + ": " + std::string(problem)};
}

void JsonObjectReader::expected(std::string_view key, std::string_view what, const json& found) {
  fail(key, "expected " + std::string(what) + ", found " + describeJson(found));
}

const json* JsonObjectReader::optional(std::string_view key) {
  if (error_) return nullptr;
  const auto it = value_.find(key);
  if (it == value_.end() || it->is_null()) return nullptr;
  return &*it;
}

const json* JsonObjectReader::required(std::string_view key) {
  const json* found = optional(key);
  if (found == nullptr && !error_) {
    const bool present = value_.contains(key);
    fail(key, present ? "required key is null" : "required key is missing");
  }
  return found;
}

std::optional<std::string> JsonObjectReader::string(std::string_view key) {
  const json* v = required(key);
  if (v == nullptr) return std::nullopt;
  if (!v->is_string()) {
    expected(key, "a string", *v);
    return std::nullopt;
  }
  return v->get<std::string>();
}

namespace {

std::optional<std::vector<std::string>> readStringArray(JsonObjectReader& reader,
                                                        std::string_view key, const json& v) {
  if (!v.is_array()) {
    reader.expected(key, "an array of strings", v);
    return std::nullopt;
  }
  std::vector<std::string> out;
  out.reserve(v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    if (!v[i].is_string()) {
      reader.expected(std::string(key) + "[" + std::to_string(i) + "]", "a string", v[i]);
      return std::nullopt;
    }
    out.push_back(v[i].get<std::string>());
  }
  return out;
}

}  // namespace

std::optional<std::vector<std::string>> JsonObjectReader::stringArray(std::string_view key) {
  const json* v = required(key);
  if (v == nullptr) return std::nullopt;
  return readStringArray(*this, key, *v);
}

std::optional<std::vector<std::string>> JsonObjectReader::optionalStringArray(
    std::string_view key) {
  const json* v = optional(key);
  if (v == nullptr) return std::nullopt;
  return readStringArray(*this, key, *v);
}

std::optional<platform::Uuid> JsonObjectReader::uuid(std::string_view key) {
  const json* v = required(key);
  if (v == nullptr) return std::nullopt;
  std::optional<platform::Uuid> parsed;
  if (v->is_string()) parsed = platform::Uuid::parse(v->get_ref<const std::string&>());
  if (!parsed) expected(key, "a UUID like \"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\"", *v);
  return parsed;
}

std::optional<bool> JsonObjectReader::boolean(std::string_view key) {
  const json* v = required(key);
  if (v == nullptr) return std::nullopt;
  if (!v->is_boolean()) {
    expected(key, "true or false", *v);
    return std::nullopt;
  }
  return v->get<bool>();
}

namespace {

std::optional<std::int64_t> readInteger(JsonObjectReader& reader, std::string_view key,
                                        const json& v) {
  std::optional<std::int64_t> n = jsonInteger(v);
  if (!n) reader.expected(key, "a whole number in the signed 64-bit range", v);
  return n;
}

}  // namespace

std::optional<std::int64_t> JsonObjectReader::integer(std::string_view key) {
  const json* v = required(key);
  if (v == nullptr) return std::nullopt;
  return readInteger(*this, key, *v);
}

std::optional<std::int64_t> JsonObjectReader::optionalInteger(std::string_view key) {
  const json* v = optional(key);
  if (v == nullptr) return std::nullopt;
  return readInteger(*this, key, *v);
}

std::optional<platform::Instant> JsonObjectReader::dateTime(std::string_view key) {
  const json* v = required(key);
  if (v == nullptr) return std::nullopt;
  std::optional<platform::Instant> parsed;
  if (v->is_string()) parsed = parseInternetDateTime(v->get_ref<const std::string&>());
  if (!parsed) expected(key, "a date-time like \"2026-03-02T17:30:00Z\"", *v);
  return parsed;
}

}  // namespace varn
