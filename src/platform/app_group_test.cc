#include "platform/app_group.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace varn::platform {
namespace {

// Single-threaded, so changing the environment races with nothing. Without an absolute HOME the
// password database decides: only the shape of its answer is checked.
// NOLINTBEGIN(concurrency-mt-unsafe)
TEST(AppGroupContainer, FollowsTheXdgDataHomeRule) {
  const char *oldData = std::getenv("XDG_DATA_HOME"), *oldHome = std::getenv("HOME");
  const std::optional<std::string> savedData = oldData ? oldData : std::optional<std::string>();
  const std::string savedHome = oldHome ? oldHome : "/";
  const std::string fromPasswd = std::string(::getpwuid(::getuid())->pw_dir) + "/.local/share/g";
  for (const auto& [data, home, expected] : {std::tuple{"/data", "/home/u", "/data/g"},
                                             {"", "/home/u", "/home/u/.local/share/g"},
                                             {"relative/data", "/home/u", "/home/u/.local/share/g"},
                                             {nullptr, "/home/u", "/home/u/.local/share/g"},
                                             {"relative/data", "relative", fromPasswd.c_str()}}) {
    data ? ::setenv("XDG_DATA_HOME", data, 1) : ::unsetenv("XDG_DATA_HOME");
    ::setenv("HOME", home, 1);
    const std::optional<std::filesystem::path> found = appGroupContainer("g");
    EXPECT_EQ(found, std::filesystem::path(expected)) << (data ? data : "unset") << " " << home;
  }
  savedData ? ::setenv("XDG_DATA_HOME", savedData->c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
  ::setenv("HOME", savedHome.c_str(), 1);
}
// NOLINTEND(concurrency-mt-unsafe)

}  // namespace
}  // namespace varn::platform
