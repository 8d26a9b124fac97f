// Any bytes go to normalizedHost(), the comparison form of a site entry. The form is nothing or
// non-empty text; text that is not valid UTF-8 gives nothing, valid text gives valid UTF-8; white
// space around the entry and ASCII letter case do not change the form.
//
// Not checked, since it does not hold: applying normalizedHost() to its own result. One step
// strips a single trailing dot ("a.." gives "a.", which gives "a"), and the port and bracket
// steps likewise peel one layer each time.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "schedule/mode_rule_builder.h"

namespace varn {
namespace {

// Well-formed UTF-8 as Unicode defines it (no overlong forms, surrogates or values beyond
// U+10FFFF), written out here so that it does not share ICU's reading with the code under test.
bool isValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      const unsigned char b = byte(i + k);
      if (k == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return false;
    }
    i += length;
  }
  return true;
}

std::string asciiUpperCased(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string describe(std::string_view entry, const std::optional<std::string>& form) {
  return "entry: \"" + std::string(entry) + "\"\nform: " + (form ? "\"" + *form + "\"" : "none");
}

}  // namespace
}  // namespace varn

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  using namespace varn;
  const std::string_view entry = fuzz::asText(data, size);
  const std::optional<std::string> form = ModeRuleBuilder::normalizedHost(entry);
  const std::string detail = describe(entry, form);
  fuzz::check(!form || !form->empty(), "a form is never empty", detail);
  if (!isValidUtf8(entry)) {
    fuzz::check(!form, "invalid UTF-8 has no form", detail);
    return 0;
  }
  fuzz::check(!form || isValidUtf8(*form), "the form of valid UTF-8 is valid UTF-8", detail);
  const std::string padded = " \t" + std::string(entry) + "\u3000\n";
  fuzz::check(ModeRuleBuilder::normalizedHost(padded) == form,
              "white space around an entry does not change its form", detail);
  fuzz::check(ModeRuleBuilder::normalizedHost(asciiUpperCased(entry)) == form,
              "ASCII letter case does not change the form", detail);
  return 0;
}
