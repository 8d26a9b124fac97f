#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace varn::platform {

// The NFC form of UTF-8 `text`, or nothing when `text` is not valid UTF-8.
std::optional<std::string> nfc(std::string_view text);

// Standard Unicode string equality: canonically equivalent strings are equal. Invalid UTF-8 is
// equal only to the identical bytes, never to a valid string.
bool canonicallyEqual(std::string_view a, std::string_view b);

}  // namespace varn::platform
