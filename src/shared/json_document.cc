#include "shared/json_document.h"

#include <nlohmann/json.hpp>

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

}  // namespace varn
