#include "platform/app_group.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace varn::platform {
namespace {

// Single-threaded, so changing the environment races with nothing.
// NOLINTBEGIN(concurrency-mt-unsafe)
void setOrUnset(const char* name, const char* value) {
  value ? ::setenv(name, value, 1) : ::unsetenv(name);
}

TEST(AppGroupContainer, FollowsTheXdgDataHomeRule) {
  const char* savedData = std::getenv("XDG_DATA_HOME");
  const char* savedHome = std::getenv("HOME");
  const std::string data = savedData ? savedData : "", home = savedHome ? savedHome : "";
  const struct {
    const char *dataHome, *home, *expected;  // expected nullptr: the password database decides
  } cases[] = {
      {"/data", "/home/u", "/data/group.g"},
      {nullptr, "/home/u", "/home/u/.local/share/group.g"},
      {"", "/home/u", "/home/u/.local/share/group.g"},
      {"relative/data", "/home/u", "/home/u/.local/share/group.g"},
      {"relative/data", "relative-home", nullptr},
  };
  for (const auto& c : cases) {
    setOrUnset("XDG_DATA_HOME", c.dataHome);
    setOrUnset("HOME", c.home);
    const std::optional<std::filesystem::path> found = appGroupContainer("group.g");
    EXPECT_EQ(found, c.expected ? std::filesystem::path(c.expected) : found);
    EXPECT_TRUE(!found || found->is_absolute()) << c.home;
  }
  setOrUnset("XDG_DATA_HOME", savedData ? data.c_str() : nullptr);
  setOrUnset("HOME", savedHome ? home.c_str() : nullptr);
}
// NOLINTEND(concurrency-mt-unsafe)

}  // namespace
}  // namespace varn::platform
