#include "shared/json_reader.h"

#include <nlohmann/json.hpp>

#include "shared/date_time.h"

namespace varn {

using simdjson::dom::element_type;

namespace {

std::string nestingFault() {
  return "values nested more than " + std::to_string(kJsonNestingLimit) + " levels deep";
}

// True when arrays and objects in `text` nest deeper than `limit`; brackets inside strings do not
// count. For text that is not JSON the answer means nothing.
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

// Listens to nlohmann's parser without building anything, to learn where and why a document
// that simdjson refused is malformed: simdjson says only what kind of fault it met.
struct FaultFinder {
  using json = nlohmann::json;
  std::optional<std::string> fault;

  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool number_integer(json::number_integer_t) { return true; }
  bool number_unsigned(json::number_unsigned_t) { return true; }
  bool number_float(json::number_float_t, const json::string_t&) { return true; }
  bool string(json::string_t&) { return true; }
  bool binary(json::binary_t&) { return true; }
  bool start_object(std::size_t) { return true; }
  bool key(json::string_t&) { return true; }
  bool end_object() { return true; }
  bool start_array(std::size_t) { return true; }
  bool end_array() { return true; }
  bool parse_error(std::size_t, const std::string&, const json::exception& e) {
    // nlohmann's messages read "[json.exception.parse_error.101] parse error at line 1, ...";
    // the bracketed id means nothing to a user repairing the file.
    std::string message = e.what();
    if (message.starts_with("[json.exception.")) {
      const size_t close = message.find("] ");
      if (close != std::string::npos) message.erase(0, close + 2);
    }
    fault = std::move(message);
    return false;
  }
};

std::string describeFault(std::string_view text, simdjson::error_code code) {
  if (code == simdjson::MEMALLOC) return "out of memory";
  // simdjson checks the depth only of documents whose brackets balance. Refusing other deep
  // ones here keeps the message the same and spares nlohmann a walk into them.
  if (code == simdjson::DEPTH_ERROR || nestsDeeperThan(text, kJsonNestingLimit)) {
    return nestingFault();
  }
  FaultFinder finder;
  nlohmann::json::sax_parse(text.begin(), text.end(), &finder);
  if (finder.fault) return *finder.fault;
  // nlohmann takes a NUL byte for the end of the text and may find the part before it sound.
  if (const size_t nul = text.find('\0'); nul != std::string_view::npos) {
    return "a NUL byte at offset " + std::to_string(nul);
  }
  // The one other kind of document nlohmann takes and simdjson does not: an integer beyond
  // 64 bits.
  return simdjson::error_message(code);
}

// A parser sets up buffers for the size of its document, and setting them up costs more than
// parsing a small file. Each thread keeps the parser of its last small document for the next
// one; a parser grown for a large document is freed with it, so a large file read once does
// not hold its buffers (many times its size) for the life of the process.
constexpr size_t kLargestKeptCapacity = size_t{64} * 1024;
thread_local std::unique_ptr<simdjson::dom::parser> keptParser;

void keep(std::unique_ptr<simdjson::dom::parser> parser) {
  if (parser && parser->capacity() <= kLargestKeptCapacity) keptParser = std::move(parser);
}

}  // namespace

Result<JsonDocument> parseJson(std::string_view text) {
  // The kept parser is taken, not shared, so that two documents alive at once never share one.
  std::unique_ptr<simdjson::dom::parser> parser = std::move(keptParser);
  simdjson::error_code code = simdjson::SUCCESS;
  if (!parser) {
    parser = std::make_unique<simdjson::dom::parser>();
    code = parser->allocate(text.size(), kJsonNestingLimit);  // growing keeps the depth
  }
  JsonValue root;
  if (code == simdjson::SUCCESS) code = parser->parse(text.data(), text.size()).get(root);
  if (code != simdjson::SUCCESS) {
    keep(std::move(parser));
    return Error{"not valid JSON: " + describeFault(text, code)};
  }
  return JsonDocument(std::move(parser), root);
}

JsonDocument::~JsonDocument() { keep(std::move(parser_)); }

std::string describeJsonString(std::string_view original) {
  constexpr size_t kLongest = 40;
  std::string text(original.substr(0, kLongest));
  const bool cut = original.size() > kLongest;
  if (cut) {
    // Do not cut a UTF-8 sequence in half.
    while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) {
      text.pop_back();
    }
    if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xC0) text.pop_back();
  }
  return "string " +
         nlohmann::json(text).dump(-1, ' ', true, nlohmann::json::error_handler_t::replace) +
         (cut ? "..." : "");
}

std::string describeJson(JsonValue value) {
  switch (value.type()) {
    case element_type::NULL_VALUE:
      return "null";
    case element_type::BOOL:
      return value.get_bool().value_unsafe() ? "true" : "false";
    case element_type::INT64:
      return "number " + std::to_string(value.get_int64().value_unsafe());
    case element_type::UINT64:
      return "number " + std::to_string(value.get_uint64().value_unsafe());
    case element_type::DOUBLE:
      // nlohmann writes the shortest text that reads back the same, and keeps "10.0" a float.
      return "number " + nlohmann::json(value.get_double().value_unsafe()).dump();
    case element_type::STRING:
      return describeJsonString(value.get_string().value_unsafe());
    case element_type::ARRAY:
      return "an array";
    case element_type::OBJECT:
      return "an object";
  }
  return "an unsupported value";
}

bool isJsonInteger(JsonValue value) { return value.is_int64() || value.is_uint64(); }

std::optional<std::int64_t> jsonInteger(JsonValue value) {
  std::int64_t n = 0;
  if (value.get_int64().get(n) == simdjson::SUCCESS) return n;
  return std::nullopt;  // a double, or an unsigned integer above the signed range
}

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
