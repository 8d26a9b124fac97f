#include "platform/app_group.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace varn::platform {
namespace {

// Sets or unsets an environment variable for a scope. The tests using it run no other thread,
// so the environment's calls race with nothing.
// NOLINTBEGIN(concurrency-mt-unsafe)
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { previous_ ? ::setenv(name_, previous_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> previous_;
};
// NOLINTEND(concurrency-mt-unsafe)

TEST(AppGroupContainer, FollowsTheXdgDataHomeRule) {
  const struct {
    const char* dataHome;
    const char* home;
    const char* expected;  // nullptr: the password database decides
  } cases[] = {
      {"/data", "/home/u", "/data/group.com.varn.macos"},
      {nullptr, "/home/u", "/home/u/.local/share/group.com.varn.macos"},
      {"", "/home/u", "/home/u/.local/share/group.com.varn.macos"},
      {"relative/data", "/home/u", "/home/u/.local/share/group.com.varn.macos"},
      {"relative/data", "relative-home", nullptr},
  };
  for (const auto& c : cases) {
    ScopedEnv dataHome("XDG_DATA_HOME", c.dataHome);
    ScopedEnv home("HOME", c.home);
    std::optional<std::filesystem::path> found = appGroupContainer("group.com.varn.macos");
    if (c.expected) {
      ASSERT_TRUE(found.has_value());
      EXPECT_EQ(found->native(), c.expected);
    } else if (found) {
      EXPECT_TRUE(found->is_absolute()) << found->native();
      EXPECT_EQ(found->filename(), "group.com.varn.macos");
    }
  }
}

}  // namespace
}  // namespace varn::platform
