#include "platform/unicode.h"

#include <gtest/gtest.h>

namespace varn::platform {
namespace {

TEST(CanonicallyEqual, ComparesCanonicalFormsAndNeverMatchesInvalidUtf8) {
  const struct {
    const char* a;
    const char* b;
    bool equal;
  } cases[] = {
      {"caf\xc3\xa9", "cafe\xcc\x81", true},  // precomposed é vs e + combining acute
      {"\xe2\x84\xab", "\xc3\x85", true},      // Angstrom sign vs Å (a canonical singleton)
      {"K", "\xe2\x84\xaa", true},             // Kelvin sign is a canonical singleton for K
      {"abc", "abd", false},
      {"caf\xff", "caf\xef\xbf\xbd", false},   // invalid byte vs U+FFFD
      {"\xff", "\xff", true},                  // identical bytes
  };
  for (const auto& c : cases) {
    EXPECT_EQ(canonicallyEqual(c.a, c.b), c.equal) << c.a << " vs " << c.b;
  }
  EXPECT_FALSE(nfc("\xc0\x80").has_value());  // overlong encoding
  EXPECT_EQ(nfc("cafe\xcc\x81"), "caf\xc3\xa9");
}

}  // namespace
}  // namespace varn::platform
