#include "platform/uri.h"

#include <uriparser/Uri.h>

namespace varn::platform {
namespace {

// Owns the members of a successfully parsed UriUriA; a failed parse frees its own.
class ParsedUri {
 public:
  ParsedUri() = default;
  ParsedUri(const ParsedUri&) = delete;
  ParsedUri& operator=(const ParsedUri&) = delete;
  ~ParsedUri() {
    if (parsed_) uriFreeUriMembersA(&uri_);
  }

  // False when uriparser rejects `text`.
  bool parse(std::string_view text) {
    const char* first = text.data();
    parsed_ = uriParseSingleUriExA(&uri_, first, first + text.size(), nullptr) == URI_SUCCESS;
    return parsed_;
  }
  const UriUriA& uri() const { return uri_; }

 private:
  UriUriA uri_{};
  bool parsed_ = false;
};

bool isEmpty(const UriTextRangeA& range) {
  return range.first == nullptr || range.afterLast <= range.first;
}

}  // namespace

std::optional<std::string> absoluteUriHost(std::string_view text) {
  ParsedUri parsed;
  // An empty view may have no storage; it is no absolute URI in any case.
  if (text.empty() || !parsed.parse(text)) return std::nullopt;
  const UriUriA& uri = parsed.uri();
  if (isEmpty(uri.scheme) || isEmpty(uri.hostText)) return std::nullopt;
  return std::string(uri.hostText.first, uri.hostText.afterLast);
}

}  // namespace varn::platform
