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

// Keeps every batch the watch delivers, and the threads it delivered them on.
class Recorder {
 public:
  FolderWatch::Handler handler() {
    return [this](const FolderChanges& changes) {
      std::lock_guard lock(mutex_);
      batches_.push_back(changes);
      threads_.push_back(std::this_thread::get_id());
    };
  }
  std::vector<FolderChanges> batches() const {
    std::lock_guard lock(mutex_);
    return batches_;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> all;
    for (const FolderChanges& b : batches()) all.insert(all.end(), b.names.begin(), b.names.end());
    return all;
  }
  bool sawName(const std::string& name) const {
    for (const std::string& n : names()) {
      if (n == name) return true;
    }
    return false;
  }
  bool sawFolderChange() const {
    for (const FolderChanges& b : batches()) {
      if (b.folderChanged) return true;
    }
    return false;
  }
  std::vector<std::thread::id> threads() const {
    std::lock_guard lock(mutex_);
    return threads_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<FolderChanges> batches_;
  std::vector<std::thread::id> threads_;
};

std::unique_ptr<FolderWatch> openOrFail(const fs::path& folder, FolderWatch::Handler handler) {
  Result<std::unique_ptr<FolderWatch>> watch = FolderWatch::open(folder, std::move(handler));
  EXPECT_TRUE(watch.ok()) << watch.error().message;
  return watch.ok() ? std::move(watch).value() : nullptr;
}

TEST(FolderWatch, ReportsEntriesThatComeAndGoButNotWritesInPlaceOrDeeperChanges) {
  TempDir dir;
  const fs::path watched = dir / "watched";
  fs::create_directories(watched / "sub");
  for (const char* name : {"existing", "leaving", "doomed"}) writeFile(watched / name, "x");
  writeFile(dir / "arriving", "x");
  Recorder recorder;
  auto watch = openOrFail(watched, recorder.handler());
  ASSERT_TRUE(watch);

  // Changes that are no change of the folder's entries come first: had any of them been
  // reported, it would stand before "new" in the names.
  writeFile(watched / "existing", "rewritten in place");
  writeFile(watched / "sub" / "nested", "x");
  writeFile(dir / "beside", "x");
  writeFile(watched / "new", "x");
  fs::rename(dir / "arriving", watched / "arrived");
  fs::rename(watched / "leaving", dir / "left");
  fs::remove(watched / "doomed");
  fs::create_directory(watched / "folder");
  writeFile(watched / "last", "x");

  ASSERT_TRUE(eventually([&] { return recorder.sawName("last"); }));
  EXPECT_EQ(recorder.names(),
            (std::vector<std::string>{"new", "arrived", "leaving", "doomed", "folder", "last"}));
  EXPECT_FALSE(recorder.sawFolderChange());
  for (std::thread::id thread : recorder.threads()) EXPECT_NE(thread, std::this_thread::get_id());
}

TEST(FolderWatch, ChangesPendingTogetherArriveAsOneBatch) {
  TempDir dir;
  std::atomic<int> calls{0};
  std::atomic<bool> release{false};
  Recorder recorder;
  auto record = recorder.handler();
  auto watch = openOrFail(dir.path(), [&](const FolderChanges& changes) {
    record(changes);
    // Holds the first delivery until the test has made the next three changes.
    if (++calls == 1) {
      while (!release) std::this_thread::yield();
    }
  });
  ASSERT_TRUE(watch);

  writeFile(dir / "first", "x");
  ASSERT_TRUE(eventually([&] { return calls.load() == 1; }));
  for (const char* name : {"a", "b", "c"}) writeFile(dir / name, "x");
  release = true;

  ASSERT_TRUE(eventually([&] { return recorder.sawName("c"); }));
  std::vector<FolderChanges> batches = recorder.batches();
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[1].names, (std::vector<std::string>{"a", "b", "c"}));
}

}  // namespace
}  // namespace varn::platform
