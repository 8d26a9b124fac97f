#include "platform/unicode.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <string_view>
#include <vector>

namespace varn::platform {
namespace {

TEST(Unicode, ComparesCanonicalFormsAndInvalidUtf8OnlyByteForByte) {
  EXPECT_TRUE(canonicallyEqual("caf\u00e9", "cafe\u0301"));  // precomposed vs combining acute
  EXPECT_TRUE(canonicallyEqual("\u212b", "\u00c5"));         // Angstrom sign vs A with ring
  EXPECT_TRUE(canonicallyEqual("\xff", "\xff"));             // identical bytes
  EXPECT_FALSE(canonicallyEqual("abc", "abd"));
  EXPECT_FALSE(canonicallyEqual("caf\xff", "caf\ufffd"));  // an invalid byte is no U+FFFD
  EXPECT_FALSE(nfc("\xc0\x80").has_value());               // overlong encoding
}

TEST(Unicode, TrimsEveryWhiteSpaceCodePointAtTheEndsOnly) {
  for (const auto& [text, trimmed] :
       {std::pair{" \t\r\n\v\fa b\t\n", "a b"},
        {"\u0085\u3000a\u00a0\u2028\u2029\u202f", "a"},  // NEL, ideographic, no-break, LS, PS
        {"\u200ba\u0301\x1c", "\u200ba\u0301\x1c"},      // zero-width space, a mark, a control
        {" \t\n", ""}}) {
    EXPECT_EQ(trimmedWhiteSpace(text), trimmed) << text;
  }
  EXPECT_FALSE(trimmedWhiteSpace(" a\xff ").has_value());
}

TEST(Unicode, LowerCasesInTheRootLocaleWhateverTheDefaultLocale) {
  const icu::Locale previous = icu::Locale::getDefault();
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("tr", "TR"), status);
  EXPECT_EQ(lowerCased("MAIL.IO"), "mail.io");            // no dotless i
  EXPECT_EQ(lowerCased("\u0130\u212a"), "i\u0307k");      // full mapping; Kelvin sign
  EXPECT_EQ(lowerCased("\u03a3\u03a3"), "\u03c3\u03c2");  // final sigma in context
  EXPECT_FALSE(lowerCased("A\xff").has_value());
  icu::Locale::setDefault(previous, status);
}

TEST(GraphemeString, MatchesAndSplitsAtWholeCharactersOnly) {
  const auto text = GraphemeString::of("ab/\u0301c/d\r\n");  // "/" with a combining acute, CRLF
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->characterCount(), 7u);
  EXPECT_EQ(text->find("/"), 6u);
  EXPECT_FALSE(text->contains("\r") || text->endsWith("\n") || text->contains(""));
  EXPECT_TRUE(text->startsWith("a") && text->endsWith("\r\n"));
  EXPECT_FALSE(GraphemeString::of("[\u0301x]")->startsWith("["));
  EXPECT_EQ(GraphemeString::of("::a:\u0301b:")->split(":"),
            (std::vector<std::string_view>{"", "", "a:\u0301b", ""}));
  EXPECT_FALSE(GraphemeString::of("a\xff").has_value());
}

}  // namespace
}  // namespace varn::platform
