#include "platform/result.h"

#include <cstring>

namespace varn {

std::string errnoMessage(int errnum) {
  // The GNU strerror_r, which returns either `buffer` or a static string, never a shared one.
  char buffer[256];
  return ::strerror_r(errnum, buffer, sizeof buffer);
}

Error systemError(std::string_view what, std::string_view path, int errnum) {
  std::string message(what);
  message += ' ';
  message += path;
  message += ": ";
  message += errnoMessage(errnum);
  return Error{std::move(message), errnum};
}

}  // namespace varn
