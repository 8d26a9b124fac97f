// Any bytes go to parseJson, the one door through which every file we read enters, and to
// nlohmann/json, a second strict parser that serves as the reference. The two must agree on
// which documents are JSON and on what they hold: a document parseJson takes must read the same
// value, key for key (the last of two equal keys counting, as the decoders take it), as
// nlohmann reads it. parseJson may refuse more than nlohmann in three cases only: values nested
// deeper than kJsonNestingLimit levels and integers beyond 64 bits, both by design, and text with
// a NUL byte, where nlohmann stops reading as if the text ended there.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz/fuzz_check.h"
#include "shared/json_document.h"

namespace varn {
namespace {

using nlohmann::json;

// parseJson's value in nlohmann's form; of two equal keys the last wins, as in nlohmann.
json toReference(JsonValue value) {
  using simdjson::dom::element_type;
  switch (value.type()) {
    case element_type::ARRAY: {
      json array = json::array();
      const simdjson::dom::array items = value.get_array().value_unsafe();
      for (JsonValue item : items) array.push_back(toReference(item));
      return array;
    }
    case element_type::OBJECT: {
      json object = json::object();
      const simdjson::dom::object fields = value.get_object().value_unsafe();
      for (simdjson::dom::key_value_pair field : fields) {
        object[std::string(field.key)] = toReference(field.value);
      }
      return object;
    }
    case element_type::INT64:
      return value.get_int64().value_unsafe();
    case element_type::UINT64:
      return value.get_uint64().value_unsafe();
    case element_type::DOUBLE:
      return value.get_double().value_unsafe();
    case element_type::STRING:
      return std::string(value.get_string().value_unsafe());
    case element_type::BOOL:
      return value.get_bool().value_unsafe();
    case element_type::NULL_VALUE:
      return nullptr;
  }
  return json();
}

// Listens to nlohmann's parser for what parseJson refuses by design.
struct Excuses {
  size_t depth = 0;
  size_t deepest = 0;
  bool scalarAtDeepest = false;
  bool bigInteger = false;

  bool scalar() {
    // A scalar is a level of its own in parseJson's count.
    deepest = std::max(deepest, depth + 1);
    return true;
  }
  bool open() {
    deepest = std::max(deepest, ++depth);
    return true;
  }
  bool close() {
    --depth;
    return true;
  }
  bool null() { return scalar(); }
  bool boolean(bool) { return scalar(); }
  bool number_integer(json::number_integer_t) { return scalar(); }
  bool number_unsigned(json::number_unsigned_t) { return scalar(); }
  bool number_float(json::number_float_t, const json::string_t& text) {
    // An integer written without fraction or exponent that nlohmann had to read as a float.
    if (text.find_first_of(".eE") == std::string::npos) bigInteger = true;
    return scalar();
  }
  bool string(json::string_t&) { return scalar(); }
  bool binary(json::binary_t&) { return scalar(); }
  bool start_object(std::size_t) { return open(); }
  bool key(json::string_t&) { return true; }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const json::exception&) { return false; }
};

}  // namespace
}  // namespace varn

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  using namespace varn;
  const std::string_view text = fuzz::asText(data, size);
  Excuses excuses;
  const bool referenceTakes = json::sax_parse(text.begin(), text.end(), &excuses);
  Result<JsonDocument> parsed = parseJson(text);
  if (!parsed.ok()) {
    const bool excused = excuses.deepest > kJsonNestingLimit || excuses.bigInteger ||
                         text.find('\0') != std::string_view::npos;
    fuzz::check(!referenceTakes || excused, "parseJson refuses only what the reference refuses",
                parsed.error().message);
    fuzz::check(parsed.error().message.starts_with("not valid JSON: "), "refusals say so",
                parsed.error().message);
    return 0;
  }
  fuzz::check(referenceTakes, "parseJson takes only what the reference takes", text);
  const json reference = json::parse(text);
  fuzz::check(toReference(parsed.value().root()) == reference, "both read the same value",
              reference.dump(-1, ' ', true, json::error_handler_t::replace));
  return 0;
}
