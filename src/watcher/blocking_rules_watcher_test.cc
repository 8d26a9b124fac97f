#include "watcher/blocking_rules_watcher.h"

#include <gtest/gtest.h>
#include <sys/file.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "platform/file_coordination.h"
#include "platform/files.h"
#include "platform/testing/fake_clock.h"
#include "platform/testing/memory_log_sink.h"
#include "platform/testing/process_descriptors.h"
#include "support/eventually.h"
#include "support/lock_holding_child.h"
#include "support/temp_dir.h"

namespace varn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::fileExists;
using platform::testing::FakeClock;
using platform::testing::ScopedMemoryLog;
using support::eventually;
using support::TempDir;
using support::writeFile;

const platform::Instant kNow = std::chrono::sys_days(std::chrono::year(2026) / 3 / 2) + 17h;

constexpr const char* kStopped = "default: Blocking rules watcher stopped.";
constexpr const char* kStarted = "default: Blocking rules watcher started.";
constexpr const char* kOpenFailed = "error: Failed to open blocking rules directory for watching.";

BlockingRules rulesEndingAt(platform::Instant endsAt) {
  return BlockingRules{
      platform::Uuid::random(), BlockingRules::Mode::block, {"example.com"}, endsAt, {}};
}

void writeRules(const fs::path& path, platform::Instant endsAt) {
  writeFile(path, encodeBlockingRules(rulesEndingAt(endsAt)));
}

// A shared folder and a container in a temporary folder, the real store on them, and a watcher
// whose sweeps go through the store and are counted.
struct WatchedFolder {
  WatchedFolder() {
    fs::create_directory(shared);
    fs::create_directory(container);
  }
  void sweep() {
    // Counted before the counters that tests wait on, so that a wait also covers this one.
    ++sweeps;
    if (std::this_thread::get_id() != testThread) ++watchThreadSweeps;
    if (fileExists(shared / "control")) ++sweepsAfterControl;
    store.clearIfExpired();
  }
  const fs::path& rulesFile() const { return store.sharedRulesFileURL(); }

  TempDir dir;
  const fs::path shared = dir / "Shared";
  const fs::path container = dir / "container";
  const StoreLocations locations = StoreLocations::at(shared, container);
  FakeClock clock{kNow};
  const BlockingRuleStore store{locations, clock};
  const std::thread::id testThread = std::this_thread::get_id();
  std::atomic<int> sweeps{0};
  std::atomic<int> watchThreadSweeps{0};
  std::atomic<int> sweepsAfterControl{0};
  ScopedMemoryLog log;
  BlockingRulesWatcher watcher{rulesFile(), [this] { sweep(); }};
};

TEST(BlockingRulesWatcher, FirstStartLogsStoppedSweepsOnTheCallingThreadThenLogsStarted) {
  WatchedFolder folder;
  writeRules(folder.rulesFile(), kNow - 1s);

  folder.watcher.start();

  EXPECT_FALSE(fileExists(folder.rulesFile()));  // swept before start returned
  EXPECT_EQ(folder.log->lines(),
            (std::vector<std::string>{kStopped, "debug: Cleared expired blocking rules atomically",
                                      kStarted}));
  EXPECT_TRUE(folder.watcher.isWatching());
  EXPECT_EQ(folder.watcher.monitoredURL(), folder.shared);
}

TEST(BlockingRulesWatcher, StartWithoutAFolderToWatchLogsTheFailureAndNeitherSweepsNorWatches) {
  const struct {
    const char* why;
    bool fileInItsPlace;
  } cases[] = {{"the folder is missing", false}, {"a file stands where the folder should", true}};
  for (const auto& c : cases) {
    WatchedFolder folder;
    fs::remove(folder.shared);
    if (c.fileInItsPlace) writeFile(folder.shared, "not a folder");
    const size_t descriptors = platform::testing::openDescriptorCount();

    folder.watcher.start();

    EXPECT_EQ(folder.log->lines(), (std::vector<std::string>{kStopped, kOpenFailed})) << c.why;
    EXPECT_EQ(folder.sweeps, 0) << c.why;
    EXPECT_FALSE(folder.watcher.isWatching()) << c.why;
    EXPECT_EQ(platform::testing::openDescriptorCount(), descriptors) << c.why;
    EXPECT_EQ(folder.watcher.monitoredURL(), folder.shared) << c.why;
  }
}

TEST(BlockingRulesWatcher, StopOnAWatcherNeverStartedOnlyLogs) {
  WatchedFolder folder;
  folder.watcher.stop();
  EXPECT_EQ(folder.log->lines(), std::vector<std::string>{kStopped});
  EXPECT_EQ(folder.sweeps, 0);
  EXPECT_FALSE(folder.watcher.monitoredURL().has_value());
}

TEST(BlockingRulesWatcher, StartingTwiceLeavesExactlyOneWatchAndItsDescriptors) {
  WatchedFolder folder;
  const size_t descriptors = platform::testing::openDescriptorCount();
  const size_t watches = platform::testing::inotifyWatchCount();

  folder.watcher.start();
  folder.watcher.start();
  EXPECT_EQ(platform::testing::openDescriptorCount(), descriptors + 2);  // inotify and its wake-up
  EXPECT_EQ(platform::testing::inotifyWatchCount(), watches + 1);
  writeFile(folder.shared / "new", "x");
  EXPECT_TRUE(eventually([&] { return folder.watchThreadSweeps > 0; }));

  folder.watcher.stop();
  EXPECT_EQ(platform::testing::openDescriptorCount(), descriptors);
  EXPECT_EQ(platform::testing::inotifyWatchCount(), watches);
  EXPECT_EQ(folder.log->lines(),
            (std::vector<std::string>{kStopped, kStarted, kStopped, kStarted, kStopped}));
}

TEST(BlockingRulesWatcher, EveryChangeOfTheFoldersEntriesSweepsAwayExpiredRules) {
  const struct {
    const char* why;
    void (*prepare)(const WatchedFolder&);
    void (*change)(const WatchedFolder&);
  } cases[] = {
      {"a file created", [](const WatchedFolder&) {},
       [](const WatchedFolder& f) { writeFile(f.shared / "notes.txt", "x"); }},
      {"a folder created", [](const WatchedFolder&) {},
       [](const WatchedFolder& f) { fs::create_directory(f.shared / "folder"); }},
      {"a file renamed into it",
       [](const WatchedFolder& f) { writeFile(f.dir / "notes.txt", "x"); },
       [](const WatchedFolder& f) { fs::rename(f.dir / "notes.txt", f.shared / "notes.txt"); }},
      {"a file renamed out of it",
       [](const WatchedFolder& f) { writeFile(f.shared / "notes.txt", "x"); },
       [](const WatchedFolder& f) { fs::rename(f.shared / "notes.txt", f.dir / "notes.txt"); }},
      {"a file renamed inside it",
       [](const WatchedFolder& f) { writeFile(f.shared / "notes.txt", "x"); },
       [](const WatchedFolder& f) { fs::rename(f.shared / "notes.txt", f.shared / "old.txt"); }},
      {"a file deleted", [](const WatchedFolder& f) { writeFile(f.shared / "notes.txt", "x"); },
       [](const WatchedFolder& f) { fs::remove(f.shared / "notes.txt"); }},
      {"the rules file replaced atomically", [](const WatchedFolder&) {},
       [](const WatchedFolder& f) {
         ASSERT_TRUE(platform::writeFileAtomically(f.rulesFile(),
                                                   encodeBlockingRules(rulesEndingAt(kNow - 1h)))
                         .ok());
       }},
  };
  for (const auto& c : cases) {
    WatchedFolder folder;
    c.prepare(folder);
    writeRules(folder.rulesFile(), kNow + 1s);
    // Made in advance: the first sweep's lock file would itself be a change of the folder.
    writeFile(platform::lockFilePath(folder.rulesFile()), "");
    folder.watcher.start();
    ASSERT_TRUE(fileExists(folder.rulesFile())) << c.why;
    folder.clock.advance(2s);  // expired now, and nothing in the folder has changed

    c.change(folder);

    EXPECT_TRUE(eventually([&] { return !fileExists(folder.rulesFile()); })) << c.why;
  }
}

TEST(BlockingRulesWatcher, WritesInPlaceAndChangesOutsideTheFolderDoNotSweep) {
  const struct {
    const char* why;
    void (*change)(const WatchedFolder&);
  } cases[] = {
      {"a file written in place",
       [](const WatchedFolder& f) { writeFile(f.shared / "notes.txt", "new"); }},
      {"the rules file written in place",
       [](const WatchedFolder& f) { writeRules(f.rulesFile(), kNow + 2h); }},
      {"a file created in a subfolder",
       [](const WatchedFolder& f) { writeFile(f.shared / "folder" / "notes.txt", "x"); }},
      {"the container's rules file created",
       [](const WatchedFolder& f) { writeRules(f.container / "blocking-rules.json", kNow - 1h); }},
  };
  for (const auto& c : cases) {
    WatchedFolder folder;
    writeFile(folder.shared / "notes.txt", "old");
    writeRules(folder.rulesFile(), kNow + 1h);
    writeFile(platform::lockFilePath(folder.rulesFile()), "");
    fs::create_directory(folder.shared / "folder");
    folder.watcher.start();

    c.change(folder);
    // The control change does sweep. A sweep caused by the change above would come before the
    // control's, or (read in the same batch) with it.
    writeFile(folder.shared / "control", "x");

    ASSERT_TRUE(eventually([&] { return folder.sweepsAfterControl > 0; })) << c.why;
    EXPECT_EQ(folder.sweeps, 2) << c.why << ": the start's sweep and the control's only";
  }
}

TEST(BlockingRulesWatcher, TheFolderItselfDeletedOrMovedCausesASweep) {
  const struct {
    const char* why;
    void (*change)(const WatchedFolder&);
  } cases[] = {
      {"deleted", [](const WatchedFolder& f) { fs::remove(f.shared); }},
      {"moved", [](const WatchedFolder& f) { fs::rename(f.shared, f.dir / "Moved"); }},
  };
  for (const auto& c : cases) {
    WatchedFolder folder;
    folder.watcher.start();

    c.change(folder);

    EXPECT_TRUE(eventually([&] { return folder.watchThreadSweeps == 1; })) << c.why;
    folder.watcher.stop();
    EXPECT_EQ(folder.sweeps, 2) << c.why;
  }
}

TEST(BlockingRulesWatcher, AfterDestructionAChangeCallsNothing) {
  WatchedFolder folder;
  std::atomic<int> destroyedSweeps{0};
  auto destroyed =
      std::make_unique<BlockingRulesWatcher>(folder.rulesFile(), [&] { ++destroyedSweeps; });
  destroyed->start();
  destroyed.reset();

  writeFile(folder.shared / "after-destruction", "x");
  // Control: a live watcher on the same folder hears the next change.
  folder.watcher.start();
  writeFile(folder.shared / "control", "x");
  ASSERT_TRUE(eventually([&] { return folder.sweepsAfterControl > 0; }));
  EXPECT_EQ(destroyedSweeps, 1);  // its own start's sweep
}

TEST(BlockingRulesWatcher, DestructionWaitsForASweepInProgress) {
  WatchedFolder folder;
  std::atomic<bool> sweeping{false};
  std::atomic<bool> destroying{false};
  std::atomic<bool> finished{false};
  auto watcher = std::make_unique<BlockingRulesWatcher>(folder.rulesFile(), [&] {
    if (std::this_thread::get_id() == folder.testThread) return;  // the start's sweep
    sweeping = true;
    while (!destroying) std::this_thread::yield();
    folder.store.clearIfExpired();
    finished = true;
  });
  watcher->start();
  writeFile(folder.shared / "new", "x");
  ASSERT_TRUE(eventually([&] { return sweeping.load(); }));

  destroying = true;
  watcher.reset();

  EXPECT_TRUE(finished);
}

// Another user holds the shared file's lock for ever. Each change still sweeps: the shared file
// waits out the lock and is logged, the container's expired file goes. Stopping during such a
// sweep waits no longer than the lock's limit.
TEST(BlockingRulesWatcher, ALockHeldForEverSlowsEachSweepByTheLimitOnlyAndStopsWithinIt) {
  WatchedFolder folder;
  const fs::path containerFile = folder.container / "blocking-rules.json";
  writeRules(folder.rulesFile(), kNow + 1h);  // active: each sweep must take its lock to judge it
  writeFile(platform::lockFilePath(folder.rulesFile()), "");
  folder.watcher.start();
  support::LockHoldingChild holder(folder.rulesFile(), LOCK_SH);
  ASSERT_TRUE(holder.held());

  writeRules(containerFile, kNow - 1h);
  writeFile(folder.shared / "first", "x");
  ASSERT_TRUE(
      eventually([&] { return !fileExists(containerFile); }, platform::kLockWaitLimit + 5s));

  // With the container's lock held too, a sweep still waits one limit in all, not one per file.
  writeRules(containerFile, kNow - 1h);
  support::LockHoldingChild containerHolder(containerFile, LOCK_SH);
  ASSERT_TRUE(containerHolder.held());
  const int sweepsBefore = folder.watchThreadSweeps;
  writeFile(folder.shared / "second", "x");
  ASSERT_TRUE(eventually([&] { return folder.watchThreadSweeps > sweepsBefore; }));
  const auto stopping = std::chrono::steady_clock::now();
  folder.watcher.stop();
  EXPECT_LE(std::chrono::steady_clock::now() - stopping, platform::kLockWaitLimit + 1s);

  EXPECT_TRUE(fileExists(containerFile));
  EXPECT_TRUE(fileExists(folder.rulesFile()));
  EXPECT_EQ(folder.log->count("File coordination error during clearIfExpired: %s"), 3u);
}

// Run under the tsan preset: the watch thread's sweeps delete the expired records the test thread
// saves, while the test thread loads and sweeps the same file.
TEST(BlockingRulesWatcher, SweepsOnTheWatchThreadRaceSaveAndLoadWithoutTornReads) {
  WatchedFolder folder;
  folder.watcher.start();
  for (int i = 0; i < 200; ++i) {
    const bool expired = i % 2 == 1;
    const BlockingRules saved = rulesEndingAt(expired ? kNow - 1s : kNow + 1h);
    Status status = folder.store.save(saved);
    ASSERT_TRUE(status.ok()) << status.error().message;

    std::optional<BlockingRules> loaded = folder.store.load();
    if (loaded) {
      EXPECT_EQ(loaded->sessionId, saved.sessionId) << i;
    } else {
      EXPECT_TRUE(expired) << i << ": an active record went missing";
    }
    folder.store.clearIfExpired();
  }
  EXPECT_TRUE(eventually([&] { return folder.watchThreadSweeps > 0; }));
  // A torn or half-written file would show up as a decoding fault, and a file the watch thread
  // removed just before load read it must count as absent, not as unreadable.
  for (const platform::LogEntry& entry : folder.log->entries()) {
    EXPECT_NE(entry.level, platform::LogLevel::kError) << entry.message();
  }
}

}  // namespace
}  // namespace varn
