#include "platform/uuid.h"

#include <uuid/uuid.h>

namespace varn::platform {

std::optional<Uuid> Uuid::parse(std::string_view text) {
  // uuid_parse reads a NUL-terminated string and would accept trailing text after the 36
  // characters in some versions, so the length is checked here.
  if (text.size() != 36) return std::nullopt;
  char buffer[37];
  text.copy(buffer, 36);
  buffer[36] = '\0';
  Uuid uuid;
  if (::uuid_parse(buffer, uuid.bytes.data()) != 0) return std::nullopt;
  return uuid;
}

Uuid Uuid::random() {
  Uuid uuid;
  ::uuid_generate_random(uuid.bytes.data());
  return uuid;
}

std::string Uuid::toString() const {
  char buffer[37];
  ::uuid_unparse_upper(bytes.data(), buffer);
  return std::string(buffer, 36);
}

}  // namespace varn::platform
