#include "platform/app_group.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace varn::platform {
namespace {

std::optional<std::filesystem::path> absoluteFromEnvironment(const char* name) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the helper never sets a variable; reads do not race.
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return std::filesystem::path(value);
}

std::optional<std::filesystem::path> homeFromPasswordDatabase() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
    return std::nullopt;
  }
  return std::filesystem::path(found->pw_dir);
}

}  // namespace

std::optional<std::filesystem::path> appGroupContainer(std::string_view groupIdentifier) {
  if (auto dataHome = absoluteFromEnvironment("XDG_DATA_HOME")) return *dataHome / groupIdentifier;
  std::optional<std::filesystem::path> home = absoluteFromEnvironment("HOME");
  if (!home) home = homeFromPasswordDatabase();
  if (!home) return std::nullopt;
  return *home / ".local" / "share" / groupIdentifier;
}

}  // namespace varn::platform
