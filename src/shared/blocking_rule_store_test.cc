#include "shared/blocking_rule_store.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/file_coordination.h"
#include "platform/files.h"
#include "platform/testing/fake_clock.h"
#include "platform/testing/memory_log_sink.h"
#include "shared/date_time.h"
#include "support/lock_holding_child.h"
#include "support/temp_dir.h"

namespace varn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using platform::Instant;
using platform::LogLevel;
using support::readFile;
using support::writeFile;

constexpr const char* kDecodeFailed = "Failed to decode blocking rules: %s";
constexpr const char* kCleared = "Cleared expired blocking rules atomically";

const Instant kNoon(sys_days(year(2026) / 3 / 2) + hours(12));

BlockingRules rulesEndingAt(Instant endsAt, std::string host = "example.com") {
  return BlockingRules{
      platform::Uuid::random(), BlockingRules::Mode::block, {std::move(host)}, endsAt, {}};
}

class BlockingRuleStoreTest : public ::testing::Test {
 protected:
  fs::path shared() const { return locations_.sharedRulesFile; }
  fs::path container() const { return dir_ / "container" / "blocking-rules.json"; }
  void put(const fs::path& at, const BlockingRules& rules) {
    fs::create_directories(at.parent_path());
    writeFile(at, encodeBlockingRules(rules));
  }

  support::TempDir dir_;
  StoreLocations locations_ = StoreLocations::at(dir_ / "Shared", dir_ / "container");
  platform::testing::FakeClock clock_{kNoon};
  BlockingRuleStore store_{locations_, clock_};
  platform::testing::ScopedMemoryLog log_;
};

TEST_F(BlockingRuleStoreTest, WithNoFilesNothingIsReadClearedOrLogged) {
  EXPECT_FALSE(store_.load().has_value());
  store_.clearIfExpired();
  EXPECT_TRUE(log_->entries().empty());
  EXPECT_FALSE(fs::exists(dir_ / "Shared"));
}

TEST_F(BlockingRuleStoreTest, WithoutAContainerOnlyTheSharedFileCounts) {
  StoreLocations noContainer = StoreLocations::at(dir_ / "Shared", std::nullopt);
  BlockingRuleStore store(noContainer, clock_);
  ASSERT_EQ(store.rulesFileURLs(), std::vector<fs::path>{noContainer.sharedRulesFile});
  ASSERT_TRUE(store.save(rulesEndingAt(kNoon + hours(1))).ok());
  EXPECT_TRUE(store.load().has_value());
  clock_.advance(hours(2));
  store.clearIfExpired();
  EXPECT_FALSE(fs::exists(noContainer.sharedRulesFile));
}

TEST_F(BlockingRuleStoreTest, LoadReturnsTheFirstReadableRecordExpiredOrNot) {
  const BlockingRules expired = rulesEndingAt(kNoon - hours(1), "shared");
  put(shared(), expired);
  put(container(), rulesEndingAt(kNoon + hours(1), "container"));
  std::optional<BlockingRules> loaded = store_.load();
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->hosts, std::vector<std::string>{"shared"});
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(BlockingRuleStoreTest, AnUnreadableSharedFileIsLoggedTwiceAndTheContainerIsRead) {
  fs::create_directories(shared().parent_path());
  writeFile(shared(), "{not json");
  put(container(), rulesEndingAt(kNoon + hours(1), "container"));
  std::optional<BlockingRules> loaded = store_.load();
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->hosts, std::vector<std::string>{"container"});
  const auto failures = log_->withFormat(kDecodeFailed);
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0].level, LogLevel::kError);
  EXPECT_EQ(log_->entries().size(), 2u);
}

TEST_F(BlockingRuleStoreTest, ALoadWhoseLockCannotBeTakenLogsACoordinationError) {
  fs::create_directories(shared().parent_path());
  writeFile(shared(), "");
  fs::create_symlink(dir_ / "elsewhere", platform::lockFilePath(shared()));
  EXPECT_FALSE(store_.load().has_value());
  EXPECT_EQ(log_->count(kDecodeFailed), 1u);
  EXPECT_EQ(log_->count("File coordination error during load: %s"), 1u);
  EXPECT_FALSE(fs::exists(dir_ / "elsewhere"));
}

TEST_F(BlockingRuleStoreTest, ASweepWhoseLockCannotBeTakenLogsItAndStillSweepsTheOtherFile) {
  put(shared(), rulesEndingAt(kNoon - hours(1)));
  put(container(), rulesEndingAt(kNoon - hours(1)));
  fs::create_symlink(dir_ / "elsewhere", platform::lockFilePath(shared()));
  store_.clearIfExpired();
  EXPECT_TRUE(fs::exists(shared()));
  EXPECT_FALSE(fs::exists(container()));
  EXPECT_EQ(log_->count("File coordination error during clearIfExpired: %s"), 1u);
  EXPECT_EQ(log_->count(kCleared), 1u);
}

TEST_F(BlockingRuleStoreTest, ClearIfExpiredKeepsARecordAtItsEndAndRemovesItOneSecondLater) {
  put(shared(), rulesEndingAt(kNoon));
  store_.clearIfExpired();
  EXPECT_TRUE(fs::exists(shared()));
  EXPECT_TRUE(log_->entries().empty());

  clock_.advance(seconds(1));
  store_.clearIfExpired();
  EXPECT_FALSE(fs::exists(shared()));
  const auto cleared = log_->withFormat(kCleared);
  ASSERT_EQ(cleared.size(), 1u);
  EXPECT_EQ(cleared[0].level, LogLevel::kDebug);
}

TEST_F(BlockingRuleStoreTest, ClearIfExpiredHandlesEachFileOnItsOwn) {
  put(shared(), rulesEndingAt(kNoon + hours(1)));
  put(container(), rulesEndingAt(kNoon - hours(1)));
  store_.clearIfExpired();
  EXPECT_TRUE(fs::exists(shared()));
  EXPECT_FALSE(fs::exists(container()));
  EXPECT_EQ(log_->count(kCleared), 1u);
}

TEST_F(BlockingRuleStoreTest, ClearIfExpiredLeavesUnreadableFilesAloneSilently) {
  fs::create_directories(shared().parent_path());
  for (const char* content : {"", "[]", "{\"mode\":\"block\"}"}) {
    writeFile(shared(), content);
    store_.clearIfExpired();
    EXPECT_EQ(readFile(shared()), content);
  }
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(BlockingRuleStoreTest, SaveCreatesTheFolderAndA0644FileThenWritesTheRecord) {
  const BlockingRules rules = rulesEndingAt(kNoon + hours(1));
  Status s = store_.save(rules);
  ASSERT_TRUE(s.ok()) << s.error().message;
  EXPECT_EQ(readFile(shared()), encodeBlockingRules(rules));
  EXPECT_EQ(fs::status(shared()).permissions(), fs::perms(0644));
  EXPECT_FALSE(fs::exists(container()));
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(BlockingRuleStoreTest, SaveReplacesAnExistingFileAndNeverTouchesTheContainerFile) {
  put(shared(), rulesEndingAt(kNoon - hours(1), "old"));
  put(container(), rulesEndingAt(kNoon + hours(1), "container"));
  const std::string containerBefore = readFile(container());
  const BlockingRules rules = rulesEndingAt(kNoon + hours(2), "new");
  ASSERT_TRUE(store_.save(rules).ok());
  EXPECT_EQ(readFile(shared()), encodeBlockingRules(rules));
  EXPECT_EQ(readFile(container()), containerBefore);
}

TEST_F(BlockingRuleStoreTest, AFailedCoordinatedWriteIsLoggedOnceAndReturnedWithoutFallback) {
  fs::create_directories(shared());  // a folder in the way: the replacement must fail
  Status s = store_.save(rulesEndingAt(kNoon + hours(1)));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(log_->count("Failed to save blocking rules: %s"), 1u);
  EXPECT_EQ(log_->entries().size(), 1u);
  EXPECT_TRUE(fs::is_directory(shared()));
}

TEST_F(BlockingRuleStoreTest, ACoordinationErrorFallsBackToADirectAtomicWrite) {
  fs::create_directories(shared().parent_path());
  fs::create_symlink(dir_ / "planted", platform::lockFilePath(shared()));
  const BlockingRules rules = rulesEndingAt(kNoon + hours(1));
  ASSERT_TRUE(store_.save(rules).ok());
  EXPECT_EQ(readFile(shared()), encodeBlockingRules(rules));
  EXPECT_EQ(
      log_->count("File coordination error during save: %s. Falling back to direct atomic write."),
      1u);
  EXPECT_FALSE(fs::exists(dir_ / "planted"));
}

TEST_F(BlockingRuleStoreTest, SaveWaitsWhileAnotherProcessReadsTheFile) {
  put(shared(), rulesEndingAt(kNoon - hours(1), "old"));
  support::LockHoldingChild reader(shared(), LOCK_SH);
  ASSERT_TRUE(reader.held());
  std::atomic<bool> done{false};
  std::thread saver([&] {
    EXPECT_TRUE(store_.save(rulesEndingAt(kNoon + hours(1), "new")).ok());
    done = true;
  });
  // Cannot fail falsely: while the reader holds its lock the write must not happen.
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_FALSE(done.load());
  EXPECT_EQ(store_.load()->hosts, std::vector<std::string>{"old"});
  reader.letGo();
  saver.join();
  EXPECT_EQ(store_.load()->hosts, std::vector<std::string>{"new"});
}

TEST_F(BlockingRuleStoreTest, HostileEntriesAtTheSharedPathNeverHangAndAreNeverFollowedForWrites) {
  fs::create_directories(shared().parent_path());
  fs::create_directories(dir_ / "outside");
  const fs::path target = dir_ / "outside" / "target.json";
  const std::string targetContent = encodeBlockingRules(rulesEndingAt(kNoon - hours(1)));
  writeFile(target, targetContent);

  // A FIFO: reads fail at once, the sweep leaves it alone.
  ASSERT_EQ(::mkfifo(shared().c_str(), 0644), 0);
  EXPECT_FALSE(store_.load().has_value());
  EXPECT_EQ(log_->count(kDecodeFailed), 2u);
  store_.clearIfExpired();
  EXPECT_TRUE(fs::is_fifo(shared()));
  fs::remove(shared());

  // /dev/zero behind a link, and a file over the size cap.
  fs::create_symlink("/dev/zero", shared());
  EXPECT_FALSE(store_.load().has_value());
  fs::remove(shared());
  writeFile(shared(), std::string(platform::kRulesFileSizeLimit + 1, ' '));
  EXPECT_FALSE(store_.load().has_value());
  fs::remove(shared());

  // A link to an expired record outside: the sweep removes the link, not the target.
  fs::create_symlink(target, shared());
  store_.clearIfExpired();
  EXPECT_FALSE(fs::is_symlink(shared()));
  EXPECT_EQ(readFile(target), targetContent);

  // A link again: save replaces the link itself.
  fs::create_symlink(target, shared());
  ASSERT_TRUE(store_.save(rulesEndingAt(kNoon + hours(1))).ok());
  EXPECT_FALSE(fs::is_symlink(shared()));
  EXPECT_EQ(readFile(target), targetContent);

  // A dangling link: save refuses to create through it.
  fs::remove(shared());
  fs::create_symlink(dir_ / "outside" / "planted.json", shared());
  EXPECT_FALSE(store_.save(rulesEndingAt(kNoon + hours(1))).ok());
  EXPECT_FALSE(fs::exists(dir_ / "outside" / "planted.json"));
}

TEST_F(BlockingRuleStoreTest, AFailedRemovalIsReportedNotClaimed) {
  put(shared(), rulesEndingAt(kNoon - hours(1)));
  fs::permissions(dir_.path(), fs::perms(0755));
  fs::permissions(shared().parent_path(), fs::perms(0755));
  // The lock file exists already, so only the removal meets the read-only folder.
  ASSERT_TRUE(platform::coordinateReading(shared(), [](const fs::path&) {}).ok());
  // Run the sweep as a process that may read the folder but not change it.
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(10);
    if (::geteuid() != 0) ::chmod(shared().parent_path().c_str(), 0555);
    log_->clear();
    store_.clearIfExpired();
    const bool reported = log_->count("Failed to remove expired blocking rules: %s") == 1 &&
                          log_->count(kCleared) == 0;
    ::_exit(reported ? 0 : 11);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(fs::exists(shared()));
}

// In a sticky world-writable folder, as /Users/Shared is, a rules file that another user owns is
// read like any other, but neither the sweep nor a save can remove or replace it.
TEST_F(BlockingRuleStoreTest, AnotherUsersRulesFileInAStickyFolderIsReadButNeverRemovedOrReplaced) {
  if (::geteuid() != 0) GTEST_SKIP() << "planting another user's file needs root";
  put(shared(), rulesEndingAt(kNoon - hours(1), "planted"));
  const std::string planted = readFile(shared());
  ASSERT_EQ(::chown(shared().c_str(), 65534, 65534), 0);
  fs::permissions(dir_.path(), fs::perms(0755));
  fs::permissions(shared().parent_path(), fs::perms(01777));
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(65533) != 0 || ::setuid(65533) != 0) ::_exit(10);
    log_->clear();
    const std::optional<BlockingRules> loaded = store_.load();
    if (!loaded || loaded->hosts != std::vector<std::string>{"planted"}) ::_exit(11);
    store_.clearIfExpired();
    if (log_->count("Failed to remove expired blocking rules: %s") != 1) ::_exit(12);
    if (store_.save(rulesEndingAt(kNoon + hours(1), "mine")).ok()) ::_exit(13);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(readFile(shared()), planted);
}

}  // namespace
}  // namespace varn
