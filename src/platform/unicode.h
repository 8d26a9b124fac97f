#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Unicode services over UTF-8 std::string, independent of the process locale. Every function is
// pure and may be called from any thread at once. Text that is not valid UTF-8 is never repaired
// (ICU would turn it into U+FFFD): such input yields nothing, so it can never come out equal to a
// valid string.
namespace varn::platform {

// The NFC form of UTF-8 `text`, or nothing when `text` is not valid UTF-8.
std::optional<std::string> nfc(std::string_view text);

// Standard Unicode string equality: canonically equivalent strings are equal. Invalid UTF-8 is
// equal only to the identical bytes, never to a valid string.
bool canonicallyEqual(std::string_view a, std::string_view b);

// `text` without the White_Space characters (spaces, tabs, line breaks, U+0085, U+00A0, U+2028,
// U+3000, ...) at either end, tested code point by code point. Nothing when `text` is not valid
// UTF-8.
std::optional<std::string> trimmedWhiteSpace(std::string_view text);

// Full Unicode lower-casing in the root locale: "I" becomes "i" whatever the default locale (a
// Turkish one included), "\u0130" becomes "i\u0307", the Kelvin sign becomes "k". Nothing when
// `text` is not valid UTF-8 or ICU fails.
std::optional<std::string> lowerCased(std::string_view text);

// UTF-8 text seen as user-perceived characters (extended grapheme clusters). Searches match only
// whole characters: in "a/\u0301" the "/" carries a combining mark and is no "/" of its own, and
// "a.\u0301" does not end with ".". Offsets are byte offsets into str(). An empty needle is never
// found. A copyable value that owns its text.
class GraphemeString {
 public:
  // Nothing when `text` is not valid UTF-8 or ICU cannot split it into characters.
  static std::optional<GraphemeString> of(std::string text);

  const std::string& str() const { return text_; }
  bool empty() const { return text_.empty(); }
  // The number of user-perceived characters.
  std::size_t characterCount() const { return boundaries_.size() - 1; }

  // The byte offset of the first occurrence of `needle` at or after byte `from` that begins and
  // ends on character boundaries, or nothing.
  std::optional<std::size_t> find(std::string_view needle, std::size_t from = 0) const;
  bool contains(std::string_view needle) const { return find(needle).has_value(); }
  bool startsWith(std::string_view needle) const;
  bool endsWith(std::string_view needle) const;
  // The pieces of str() between the occurrences of `separator` found as by find(), empty pieces
  // included: "a::b" split at ":" gives "a", "", "b". The views point into str().
  std::vector<std::string_view> split(std::string_view separator) const;

 private:
  GraphemeString(std::string text, std::vector<std::size_t> boundaries)
      : text_(std::move(text)), boundaries_(std::move(boundaries)) {}
  bool isBoundary(std::size_t offset) const;

  std::string text_;
  std::vector<std::size_t> boundaries_;  // ascending byte offsets, from 0 to text_.size()
};

}  // namespace varn::platform
