#include "helper/write_grants.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "platform/app_group.h"
#include "platform/testing/memory_log_sink.h"
#include "support/temp_dir.h"

namespace varn {
namespace {

namespace fs = std::filesystem;

// The grants for each way the data home can be set and stand, with the folders made for them:
// made with mode 0700, and nothing above the app group folder granted. The environment is the
// process's (single-threaded here); "no home" is the container lookup finding none.
// NOLINTBEGIN(concurrency-mt-unsafe)
TEST(PrepareWriteGrants, GrantsTheSharedFoldersParentAndExactlyTheAppGroupFolderMadeIfMissing) {
  struct Case {
    const char* name;
    const char* dataHome;  // XDG_DATA_HOME beneath the test's folder; nullptr: unset
    const char* home;      // HOME beneath the test's folder; nullptr: no home found at all
    std::vector<const char*> present;  // folders there before
    std::vector<const char*> grants;
    std::vector<const char*> made;
  };
  const Case cases[] = {
      {"folder present",
       "/data",
       "/home",
       {"/Users", "/data/group.com.varn.macos"},
       {"/Users", "/data/group.com.varn.macos"},
       {}},
      {"folder missing",
       "/data",
       "/home",
       {"/Users", "/data"},
       {"/Users", "/data/group.com.varn.macos"},
       {"/data/group.com.varn.macos"}},
      {"data home missing",
       "/data/x",
       "/home",
       {"/Users"},
       {"/Users", "/data/x/group.com.varn.macos"},
       {"/data", "/data/x", "/data/x/group.com.varn.macos"}},
      {"data home unset",
       nullptr,
       "/home",
       {"/Users", "/home"},
       {"/Users", "/home/.local/share/group.com.varn.macos"},
       {"/home/.local", "/home/.local/share", "/home/.local/share/group.com.varn.macos"}},
      {"data home relative",
       "data",
       "/home",
       {"/Users", "/home/.local/share"},
       {"/Users", "/home/.local/share/group.com.varn.macos"},
       {"/home/.local/share/group.com.varn.macos"}},
      {"no home", nullptr, nullptr, {"/Users"}, {"/Users"}, {}},
      // /Users stays listed while it is missing: the confinement notices it when it appears.
      {"no /Users",
       "/data",
       "/home",
       {"/data"},
       {"/Users", "/data/group.com.varn.macos"},
       {"/data/group.com.varn.macos"}},
  };
  const char* savedData = std::getenv("XDG_DATA_HOME");
  const char* savedHome = std::getenv("HOME");
  const std::string restoreData = savedData ? savedData : "",
                    restoreHome = savedHome ? savedHome : "";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    support::TempDir dir;
    const auto at = [&](const char* path) { return fs::path(dir.path().native() + path); };
    for (const char* folder : c.present) fs::create_directories(at(folder));
    const fs::path home = c.home ? at(c.home) : fs::path();
    if (!c.dataHome) {
      ::unsetenv("XDG_DATA_HOME");
    } else {
      ::setenv("XDG_DATA_HOME", *c.dataHome == '/' ? at(c.dataHome).c_str() : c.dataHome, 1);
    }
    ::setenv("HOME", home.c_str(), 1);
    const StoreLocations locations{at("/Users/Shared/com.varn.macos.blocking-rules.json"),
                                   [&]() -> std::optional<fs::path> {
                                     if (!c.home) return std::nullopt;
                                     return platform::appGroupContainer(kAppGroupIdentifier);
                                   }};

    std::vector<fs::path> expected;
    for (const char* grant : c.grants) expected.push_back(at(grant));
    EXPECT_EQ(prepareWriteGrants(locations), expected);
    for (const char* folder : c.made) {
      struct stat made {};
      ASSERT_EQ(::stat(at(folder).c_str(), &made), 0) << folder;
      EXPECT_EQ(made.st_mode & 07777, 0700u) << folder;
    }
  }
  savedData ? ::setenv("XDG_DATA_HOME", restoreData.c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
  savedHome ? ::setenv("HOME", restoreHome.c_str(), 1) : ::unsetenv("HOME");
  // Never the root, whatever the shared folder's place.
  const StoreLocations atRoot{"/Shared/rules.json", [] { return std::optional<fs::path>(); }};
  EXPECT_EQ(prepareWriteGrants(atRoot), std::vector<fs::path>{});
}
// NOLINTEND(concurrency-mt-unsafe)

TEST(PrepareWriteGrants, LogsAnAppGroupFolderThatCannotBeMade) {
  support::TempDir dir;
  support::writeFile(dir / "data", "a file where the data home should be");
  platform::testing::ScopedMemoryLog log;
  const StoreLocations locations = StoreLocations::at(dir / "Users/Shared", dir / "data/group");
  EXPECT_EQ(prepareWriteGrants(locations),
            (std::vector<fs::path>{dir / "Users", dir / "data/group"}));
  EXPECT_EQ(log->lines(), std::vector<std::string>{"error: Failed to create the app group folder: "
                                                   "create folder " +
                                                   (dir / "data").native() + ": Not a directory"});
}

}  // namespace
}  // namespace varn
