#include "platform/folder_watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "support/eventually.h"
#include "support/temp_dir.h"

namespace varn::platform {
namespace {

namespace fs = std::filesystem;
using support::eventually;
using support::TempDir;
using support::writeFile;

// Keeps every batch the watch delivers; the first delivery waits until `release` is set.
struct Recorder {
  std::mutex mutex;
  std::vector<FolderChanges> batches;
  std::atomic<bool> release{true};
  std::atomic<bool> onOtherThread{true};
  std::unique_ptr<FolderWatch> watch;

  explicit Recorder(const fs::path& folder, bool holdFirst = false) : release(!holdFirst) {
    const auto test = std::this_thread::get_id();
    auto opened = FolderWatch::open(folder, [this, test](const FolderChanges& changes) {
      if (std::this_thread::get_id() == test) onOtherThread = false;
      std::unique_lock lock(mutex);
      batches.push_back(changes);
      lock.unlock();
      while (!release) std::this_thread::yield();
    });
    EXPECT_TRUE(opened.ok()) << opened.error().message;
    if (opened.ok()) watch = std::move(opened).value();
  }
  ~Recorder() { release = true; }  // a held delivery must not keep stop() waiting
  std::vector<FolderChanges> all() {
    std::lock_guard lock(mutex);
    return batches;
  }
  std::vector<std::string> names() {
    std::vector<std::string> names;
    for (const FolderChanges& b : all()) names.insert(names.end(), b.names.begin(), b.names.end());
    return names;
  }
};

TEST(FolderWatch, ReportsEntriesThatComeAndGoButNotWritesInPlaceOrDeeperChanges) {
  TempDir dir;
  const fs::path watched = dir / "watched";
  fs::create_directories(watched / "sub");
  for (const char* name : {"existing", "leaving", "doomed"}) writeFile(watched / name, "x");
  writeFile(dir / "arriving", "x");
  Recorder recorder(watched);
  ASSERT_TRUE(recorder.watch);
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
  ASSERT_TRUE(eventually([&] { return recorder.names().size() >= expected.size(); }));
  EXPECT_EQ(recorder.names(), expected);
  for (const FolderChanges& b : recorder.all()) EXPECT_FALSE(b.folderChanged || b.overflowed);
  EXPECT_TRUE(recorder.onOtherThread);
  fs::rename(watched, dir / "moved");
  EXPECT_TRUE(eventually([&] { return recorder.all().back().folderChanged; }));
}

TEST(FolderWatch, ChangesPendingTogetherArriveAsOneBatch) {
  TempDir dir;
  Recorder recorder(dir.path(), /*holdFirst=*/true);
  ASSERT_TRUE(recorder.watch);
  writeFile(dir / "first", "x");
  ASSERT_TRUE(eventually([&] { return recorder.all().size() == 1; }));
  for (const char* name : {"a", "b", "c"}) writeFile(dir / name, "x");
  recorder.release = true;
  ASSERT_TRUE(eventually([&] { return recorder.all().size() == 2; }));
  EXPECT_EQ(recorder.all()[1].names, (std::vector<std::string>{"a", "b", "c"}));
}

}  // namespace
}  // namespace varn::platform
