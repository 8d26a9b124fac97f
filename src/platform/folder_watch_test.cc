#include "platform/folder_watch.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "support/eventually.h"
#include "support/temp_dir.h"

namespace varn::platform {
namespace {

namespace fs = std::filesystem;
using support::writeFile;

TEST(FolderWatch, ReportsEntriesThatComeAndGoButNotWritesInPlaceOrDeeperChanges) {
  support::TempDir dir;
  const fs::path watched = dir / "watched";
  fs::create_directories(watched / "sub");
  for (const char* name : {"existing", "leaving", "doomed", "../arriving"})
    writeFile(watched / name, "x");
  std::mutex mutex;
  FolderChanges seen;  // every batch in one
  bool wrong = false;  // an empty batch, or one delivered on the test's thread
  const auto test = std::this_thread::get_id();
  auto watch = FolderWatch::open(watched, [&](const FolderChanges& changes) {
    std::lock_guard lock(mutex);
    seen.names.insert(seen.names.end(), changes.names.begin(), changes.names.end());
    seen.folderChanged |= changes.folderChanged;
    seen.overflowed |= changes.overflowed;
    wrong |=
        (changes.names.empty() && !changes.folderChanged) || std::this_thread::get_id() == test;
  });
  ASSERT_TRUE(watch.ok()) << watch.error().message;
  const auto names = [&] {
    std::lock_guard lock(mutex);
    return seen.names;
  };
  // What changes no entry of the folder comes first: had it been reported, it would stand first.
  writeFile(watched / "existing", "rewritten in place");
  writeFile(watched / "sub" / "nested", "x");
  writeFile(dir / "beside", "x");
  writeFile(watched / "new", "x");
  fs::rename(dir / "arriving", watched / "arrived");
  fs::rename(watched / "leaving", dir / "left");
  fs::remove(watched / "doomed");
  fs::create_directory(watched / "folder");
  const std::vector<std::string> expected{"new", "arrived", "leaving", "doomed", "folder"};
  ASSERT_TRUE(support::eventually([&] { return names().size() >= expected.size(); }));
  EXPECT_EQ(names(), expected);
  fs::rename(watched, dir / "moved");
  ASSERT_TRUE(support::eventually([&] {
    std::lock_guard lock(mutex);
    return seen.folderChanged;
  }));
  watch.value()->stop();
  EXPECT_FALSE(wrong || seen.overflowed);
}

}  // namespace
}  // namespace varn::platform
