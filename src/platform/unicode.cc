#include "platform/unicode.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <climits>
#include <memory>

namespace varn::platform {
namespace {

// ICU silently turns invalid UTF-8 into U+FFFD; this finds it first so that such text never
// compares equal to a valid string.
bool isValidUtf8(std::string_view text) {
  if (text.size() > INT32_MAX) return false;  // beyond what ICU's string calls can index
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
  return status == U_BUFFER_OVERFLOW_ERROR || U_SUCCESS(status);
}

icu::UnicodeString toUnicode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

struct UTextCloser {
  void operator()(UText* text) const noexcept { utext_close(text); }
};

// This thread's character break iterator, created on first use, or nullptr when ICU cannot
// create one. Creating an iterator loads and unpacks ICU's break rules, which costs far more than
// splitting a host name; an iterator may not be shared between threads, so each keeps its own.
icu::BreakIterator* threadCharacterIterator() {
  thread_local const std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> created(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) created.reset();
    return created;
  }();
  return iterator.get();
}

// Byte offsets of the grapheme-cluster boundaries of valid UTF-8 `text`, 0 and text.size()
// included. A UTF-8 UText makes the break iterator report byte offsets directly.
std::optional<std::vector<std::size_t>> characterBoundaries(const std::string& text) {
  icu::BreakIterator* iterator = threadCharacterIterator();
  if (iterator == nullptr) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  UText storage = UTEXT_INITIALIZER;  // closing a caller-provided UText frees nothing of it
  const std::unique_ptr<UText, UTextCloser> utext(
      utext_openUTF8(&storage, text.data(), static_cast<int64_t>(text.size()), &status));
  if (U_FAILURE(status)) return std::nullopt;
  iterator->setText(utext.get(), status);
  if (U_FAILURE(status)) return std::nullopt;
  std::vector<std::size_t> boundaries{0};
  for (int32_t at = iterator->next(); at != icu::BreakIterator::DONE; at = iterator->next()) {
    boundaries.push_back(static_cast<std::size_t>(at));
  }
  // The iterator keeps a shallow copy of the UText, which points into `text`; leave it on an
  // empty text of static lifetime instead.
  static constexpr char kEmpty[] = "";
  UText emptyStorage = UTEXT_INITIALIZER;
  const std::unique_ptr<UText, UTextCloser> empty(
      utext_openUTF8(&emptyStorage, kEmpty, 0, &status));
  if (U_SUCCESS(status)) iterator->setText(empty.get(), status);
  if (boundaries.back() != text.size()) return std::nullopt;
  return boundaries;
}

}  // namespace

std::optional<std::string> nfc(std::string_view text) {
  if (!isValidUtf8(text)) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return std::nullopt;
  const icu::UnicodeString normalized = normalizer->normalize(toUnicode(text), status);
  if (U_FAILURE(status)) return std::nullopt;
  std::string out;
  normalized.toUTF8String(out);
  return out;
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  const std::optional<std::string> na = nfc(a), nb = nfc(b);
  return na && nb && *na == *nb;
}

std::optional<std::string> trimmedWhiteSpace(std::string_view text) {
  if (!isValidUtf8(text)) return std::nullopt;
  const char* bytes = text.data();
  const auto length = static_cast<int32_t>(text.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(bytes, next, length, c);
    if (!u_isUWhiteSpace(c)) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t previous = end;
    UChar32 c;
    U8_PREV(bytes, 0, previous, c);
    if (!u_isUWhiteSpace(c)) break;
    end = previous;
  }
  return std::string(text.substr(begin, end - begin));
}

std::optional<std::string> lowerCased(std::string_view text) {
  if (!isValidUtf8(text)) return std::nullopt;
  icu::UnicodeString unicode = toUnicode(text);
  unicode.toLower(icu::Locale::getRoot());
  if (unicode.isBogus()) return std::nullopt;
  std::string out;
  unicode.toUTF8String(out);
  return out;
}

std::optional<GraphemeString> GraphemeString::of(std::string text) {
  if (!isValidUtf8(text)) return std::nullopt;
  std::optional<std::vector<std::size_t>> boundaries = characterBoundaries(text);
  if (!boundaries) return std::nullopt;
  return GraphemeString(std::move(text), std::move(*boundaries));
}

bool GraphemeString::isBoundary(std::size_t offset) const {
  return std::binary_search(boundaries_.begin(), boundaries_.end(), offset);
}

std::optional<std::size_t> GraphemeString::find(std::string_view needle, std::size_t from) const {
  if (needle.empty()) return std::nullopt;
  for (std::size_t at = text_.find(needle, from); at != std::string::npos;
       at = text_.find(needle, at + 1)) {
    if (isBoundary(at) && isBoundary(at + needle.size())) return at;
  }
  return std::nullopt;
}

bool GraphemeString::startsWith(std::string_view needle) const {
  return !needle.empty() && text_.starts_with(needle) && isBoundary(needle.size());
}

bool GraphemeString::endsWith(std::string_view needle) const {
  return !needle.empty() && text_.ends_with(needle) && isBoundary(text_.size() - needle.size());
}

std::vector<std::string_view> GraphemeString::split(std::string_view separator) const {
  std::vector<std::string_view> pieces;
  const std::string_view all(text_);
  std::size_t begin = 0;
  for (std::optional<std::size_t> at = find(separator); at; at = find(separator, begin)) {
    pieces.push_back(all.substr(begin, *at - begin));
    begin = *at + separator.size();
  }
  pieces.push_back(all.substr(begin));
  return pieces;
}

}  // namespace varn::platform
