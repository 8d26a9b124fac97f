#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace varn::platform {

// The host of `text` read as an absolute URI (RFC 3986, uriparser): the text has a scheme and a
// non-empty host. The host comes as written: no user information or port, an IPv6 or IPvFuture
// literal without its brackets, percent-encoding and letter case untouched. Nothing for text that
// is not such a URI: a relative reference, an empty host ("file:///x"), or text the parser
// rejects (a space or any non-ASCII byte, for example). Pure; any thread may call it.
std::optional<std::string> absoluteUriHost(std::string_view text);

}  // namespace varn::platform
