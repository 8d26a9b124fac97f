#include "helper/write_grants.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <regex>
#include <sstream>

#include "platform/app_group.h"
#include "platform/testing/memory_log_sink.h"
#include "support/temp_dir.h"

namespace varn {
namespace {

namespace fs = std::filesystem;

// Paths beneath the test's folder, "G" the app group folder; no HOME: the lookup finds no home.
// NOLINTBEGIN(concurrency-mt-unsafe)
TEST(PrepareWriteGrants, GrantsTheSharedFoldersParentAndExactlyTheAppGroupFolderMadeIfMissing) {
  const std::tuple<const char*, const char*, const char*, const char*, const char*> cases[] = {
      // XDG_DATA_HOME, HOME, folders there before, grants, folders made
      {"/data", "/home", "/Users /data/G", "/Users /data/G", ""},
      {"/data", "/home", "/Users /data", "/Users /data/G", "/data/G"},
      {"/data/x", "/home", "/Users", "/Users /data/x/G", "/data /data/x /data/x/G"},
      {nullptr, "/home", "/Users /home", "/Users /home/.local/share/G",
       "/home/.local /home/.local/share /home/.local/share/G"},
      {nullptr, nullptr, "/Users", "/Users", ""},
      // /Users stays listed while missing: the confinement notices when it appears.
      {"/data", "/home", "/data", "/Users /data/G", "/data/G"},
  };
  const auto saved = [](const char* name) {
    return std::string(std::getenv(name) ? std::getenv(name) : "");
  };
  const std::string savedData = saved("XDG_DATA_HOME"), savedHome = saved("HOME");
  for (const auto& [dataHome, home, present, grants, made] : cases) {
    SCOPED_TRACE(std::string(dataHome ? dataHome : "unset") + " " + grants);
    support::TempDir dir;
    const auto paths = [&](const std::string& list) {
      std::vector<fs::path> found;
      std::istringstream words(std::regex_replace(list, std::regex("G"), kAppGroupIdentifier));
      for (std::string word; words >> word;) found.emplace_back(dir.path().native() + word);
      return found;
    };
    for (const fs::path& folder : paths(present)) fs::create_directories(folder);
    if (dataHome == nullptr) ::unsetenv("XDG_DATA_HOME");
    if (dataHome)
      ::setenv("XDG_DATA_HOME", *dataHome == '/' ? (dir / &dataHome[1]).c_str() : dataHome, 1);
    ::setenv("HOME", home ? (dir / &home[1]).c_str() : "", 1);
    const bool hasHome = home != nullptr;
    const StoreLocations locations{
        dir / "Users/Shared/rules.json", [hasHome] {
          return hasHome ? platform::appGroupContainer(kAppGroupIdentifier) : std::nullopt;
        }};
    EXPECT_EQ(prepareWriteGrants(locations), paths(grants));
    for (const fs::path& folder : paths(made)) {
      struct stat status {};
      EXPECT_TRUE(::stat(folder.c_str(), &status) == 0 && (status.st_mode & 07777) == 0700)
          << folder;
    }
  }
  ::setenv("XDG_DATA_HOME", savedData.c_str(), 1);
  ::setenv("HOME", savedHome.c_str(), 1);
  // Never the root, whatever the shared folder's place.
  EXPECT_EQ(prepareWriteGrants({"/Shared/rules.json", [] { return std::optional<fs::path>(); }}),
            std::vector<fs::path>{});
  // An app group folder that cannot be made is logged, and still listed.
  support::TempDir dir;
  support::writeFile(dir / "data", "a file where the data home should be");
  platform::testing::ScopedMemoryLog log;
  EXPECT_EQ(prepareWriteGrants(StoreLocations::at(dir / "Users/Shared", dir / "data/g")),
            (std::vector<fs::path>{dir / "Users", dir / "data/g"}));
  EXPECT_EQ(log->lines(), std::vector<std::string>{"error: Failed to create the app group folder: "
                                                   "create folder " +
                                                   (dir / "data").native() + ": Not a directory"});
}
// NOLINTEND(concurrency-mt-unsafe)

}  // namespace
}  // namespace varn
