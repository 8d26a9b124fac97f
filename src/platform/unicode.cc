#include "platform/unicode.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

namespace varn::platform {
namespace {

// ICU silently turns invalid UTF-8 into U+FFFD; this finds it first so that such text never
// compares equal to a valid string.
bool isValidUtf8(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
  return status == U_BUFFER_OVERFLOW_ERROR || U_SUCCESS(status);
}

}  // namespace

std::optional<std::string> nfc(std::string_view text) {
  if (!isValidUtf8(text)) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return std::nullopt;
  const icu::UnicodeString source =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  const icu::UnicodeString normalized = normalizer->normalize(source, status);
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

}  // namespace varn::platform
