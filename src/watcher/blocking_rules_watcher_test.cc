#include "watcher/blocking_rules_watcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/testing/memory_log_sink.h"
#include "platform/testing/process_descriptors.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

namespace varn {
namespace {

namespace fs = std::filesystem;
using platform::testing::inotifyWatchCount;
using platform::testing::openDescriptorCount;

constexpr const char* kStopped = "default: Blocking rules watcher stopped.";
constexpr const char* kStarted = "default: Blocking rules watcher started.";

struct CountingWatcher {
  CountingWatcher() { fs::create_directory(shared); }

  support::TempDir dir;
  const fs::path shared = dir / "Shared";
  const std::thread::id testThread = std::this_thread::get_id();
  std::atomic<int> testThreadSweeps{0};
  std::atomic<int> watchThreadSweeps{0};
  platform::testing::ScopedMemoryLog log;
  BlockingRulesWatcher watcher{
      shared / "blocking-rules.json", [this] {
        ++(std::this_thread::get_id() == testThread ? testThreadSweeps : watchThreadSweeps);
      }};
};

TEST(BlockingRulesWatcher, AFolderThatCannotBeWatchedIsLoggedAsAnErrorAndNotSwept) {
  CountingWatcher w;
  fs::remove(w.shared);
  w.watcher.start();
  EXPECT_EQ(w.log->lines(),
            (std::vector<std::string>{
                kStopped, "error: Failed to open blocking rules directory for watching."}));
  EXPECT_EQ(w.testThreadSweeps + w.watchThreadSweeps, 0);
  EXPECT_FALSE(w.watcher.isWatching());
}

TEST(BlockingRulesWatcher, EachDeliveredChangeSweepsOnTheWatchThread) {
  const struct {
    const char* why;
    void (*change)(const fs::path& shared);
  } cases[] = {
      {"an entry created", [](const fs::path& shared) { support::writeFile(shared / "new", "x"); }},
      {"the folder deleted", [](const fs::path& shared) { fs::remove(shared); }},
  };
  for (const auto& c : cases) {
    CountingWatcher w;
    w.watcher.start();
    c.change(w.shared);
    EXPECT_TRUE(support::eventually([&] { return w.watchThreadSweeps > 0; })) << c.why;
  }
}

TEST(BlockingRulesWatcher, StartSweepsOnceOnTheCallingThreadAndStopEndsTheWatchAndItsThread) {
  CountingWatcher w;
  const size_t descriptors = openDescriptorCount();
  const size_t watches = inotifyWatchCount();
  w.watcher.start();
  EXPECT_EQ(w.testThreadSweeps, 1);
  EXPECT_TRUE(w.watcher.isWatching());
  ASSERT_EQ(inotifyWatchCount(), watches + 1);
  w.watcher.stop();
  // The watch closes its descriptors only after joining its thread.
  EXPECT_EQ(openDescriptorCount(), descriptors);
  EXPECT_EQ(inotifyWatchCount(), watches);
  EXPECT_EQ(w.log->lines(), (std::vector<std::string>{kStopped, kStarted, kStopped}));
}

}  // namespace
}  // namespace varn
