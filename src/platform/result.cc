#include "platform/result.h"

#include <cstring>

namespace varn {

Error systemError(std::string_view what, std::string_view path, int errnum) {
  std::string message(what);
  message += ' ';
  message += path;
  message += ": ";
  message += std::strerror(errnum);
  return Error{std::move(message), errnum};
}

}  // namespace varn
