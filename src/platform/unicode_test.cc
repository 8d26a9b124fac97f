#include "platform/unicode.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <string_view>
#include <thread>
#include <vector>

namespace varn::platform {
namespace {

TEST(CanonicallyEqual, ComparesCanonicalFormsAndNeverMatchesInvalidUtf8) {
  const struct {
    const char* a;
    const char* b;
    bool equal;
  } cases[] = {
      {"caf\xc3\xa9", "cafe\xcc\x81", true},  // precomposed é vs e + combining acute
      {"\xe2\x84\xab", "\xc3\x85", true},     // Angstrom sign vs Å (a canonical singleton)
      {"K", "\xe2\x84\xaa", true},            // Kelvin sign is a canonical singleton for K
      {"abc", "abd", false},
      {"caf\xff", "caf\xef\xbf\xbd", false},  // invalid byte vs U+FFFD
      {"\xff", "\xff", true},                 // identical bytes
  };
  for (const auto& c : cases) {
    EXPECT_EQ(canonicallyEqual(c.a, c.b), c.equal) << c.a << " vs " << c.b;
  }
  EXPECT_FALSE(nfc("\xc0\x80").has_value());  // overlong encoding
  EXPECT_EQ(nfc("cafe\xcc\x81"), "caf\xc3\xa9");
}

TEST(TrimmedWhiteSpace, RemovesEveryWhiteSpaceCodePointAtTheEndsOnly) {
  const struct {
    const char* text;
    const char* trimmed;
  } cases[] = {
      {" \t\r\n\v\fa b\t\n", "a b"},
      {"\xc2\x85"
       "a"
       "\xc2\xa0",
       "a"},  // NEL and no-break space
      {"\xe3\x80\x80"
       "a"
       "\xe2\x80\xa8\xe2\x80\xa9",
       "a"},  // ideographic space, LS, PS
      {"\xe1\x9a\x80\xe2\x80\x8a"
       "a"
       "\xe2\x80\xaf",
       "a"},  // ogham, hair and narrow spaces
      {"\xe2\x80\x8b"
       "a",
       "\xe2\x80\x8b"
       "a"},  // zero-width space is no white space
      {" \xcc\x81"
       "a",
       "\xcc\x81"
       "a"},  // a combining mark stays
      {"\x1c"
       "a",
       "\x1c"
       "a"},  // a separator control is no white space
      {" \t\n", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(trimmedWhiteSpace(c.text), c.trimmed) << c.text;
  EXPECT_FALSE(trimmedWhiteSpace(" a\xff ").has_value());
}

// Puts ICU's default locale back when a test that changed it ends, failed or not.
class DefaultLocaleRestorer {
 public:
  ~DefaultLocaleRestorer() {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(previous_, status);
  }

 private:
  icu::Locale previous_ = icu::Locale::getDefault();
};

TEST(LowerCased, UsesFullRootLocaleMappingWhateverTheDefaultLocale) {
  const DefaultLocaleRestorer restorer;
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("tr", "TR"), status);
  ASSERT_TRUE(U_SUCCESS(status));
  // The premise: the default locale now maps "I" to a dotless i.
  ASSERT_EQ(icu::UnicodeString("I").toLower(), icu::UnicodeString(static_cast<UChar32>(0x131)));
  const struct {
    const char* text;
    const char* lower;
  } cases[] = {
      {"MAIL.EXAMPLE.IO", "mail.example.io"},  // no dotless i
      {"\xc4\xb0", "i\xcc\x87"},               // capital I with dot: full mapping, two code points
      {"\xe2\x84\xaa", "k"},                   // Kelvin sign
      {"\xc3\x84"
       "B",
       "\xc3\xa4"
       "b"},
      {"\xce\xa3\xce\xa3", "\xcf\x83\xcf\x82"},  // final sigma in context
  };
  for (const auto& c : cases) EXPECT_EQ(lowerCased(c.text), c.lower) << c.text;
  EXPECT_FALSE(lowerCased("A\xff").has_value());
}

TEST(GraphemeString, MatchesOnlyWholeCharacters) {
  const auto text = GraphemeString::of(
      "ab/\xcc\x81"
      "c/d\r\n");  // "/" + combining acute, CRLF
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->characterCount(), 7u);
  EXPECT_EQ(text->find("/"), 6u);  // the first "/" carries a mark
  EXPECT_EQ(text->find("/", 7), std::nullopt);
  EXPECT_FALSE(text->contains("\r"));  // half of a CRLF
  EXPECT_TRUE(text->endsWith("\r\n"));
  EXPECT_FALSE(text->endsWith("\n"));
  EXPECT_TRUE(text->startsWith("a"));
  EXPECT_FALSE(text->contains(""));

  const auto marked = GraphemeString::of("[\xcc\x81x].\xcc\x81");
  ASSERT_TRUE(marked.has_value());
  EXPECT_FALSE(marked->startsWith("["));
  EXPECT_FALSE(marked->endsWith("."));
  EXPECT_TRUE(marked->contains("]"));
  EXPECT_EQ(marked->characterCount(), 4u);

  EXPECT_FALSE(GraphemeString::of("a\xff").has_value());
  EXPECT_EQ(GraphemeString::of("")->characterCount(), 0u);
}

TEST(GraphemeString, SplitsAtWholeCharacterSeparatorsKeepingEmptyPieces) {
  const struct {
    const char* text;
    std::vector<std::string_view> pieces;
  } cases[] = {
      {"a::b", {"a", "", "b"}},
      {":a:", {"", "a", ""}},
      {"a:\xcc\x81"
       "b:c",
       {"a:\xcc\x81"
        "b",
        "c"}},
      {"", {""}},
  };
  for (const auto& c : cases) {
    const auto text = GraphemeString::of(c.text);
    ASSERT_TRUE(text.has_value()) << c.text;
    EXPECT_EQ(text->split(":"), c.pieces) << c.text;
  }
}

// Each thread splits its own text many times over, so an iterator shared between threads, or
// one that kept something of the text before, would show as a wrong count.
TEST(GraphemeString, CountsTheSameOnManyThreadsAtOnce) {
  const struct {
    const char* text;
    size_t characters;
  } cases[] = {
      {"e\xcc\x81\xcc\x81/x\r\n", 4},                   // stacked marks, CRLF
      {"\xf0\x9f\x87\xa9\xf0\x9f\x87\xaa.example", 9},  // a flag: two regional indicators
      {"plain.example.com", 17},
      {"\xea\xb0\x80\xe1\x84\x80", 2},  // a syllable, then a lone jamo
  };
  std::vector<std::thread> threads;
  std::vector<int> wrong(std::size(cases), 0);
  for (size_t t = 0; t < std::size(cases); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 500; ++round) {
        const auto text = GraphemeString::of(cases[t].text);
        if (!text || text->characterCount() != cases[t].characters) ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t t = 0; t < std::size(cases); ++t) EXPECT_EQ(wrong[t], 0) << cases[t].text;
}

}  // namespace
}  // namespace varn::platform
