#include "shared/blocking_rule_store.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "platform/file_coordination.h"
#include "platform/testing/fake_clock.h"
#include "platform/testing/memory_log_sink.h"
#include "support/temp_dir.h"

namespace varn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using platform::LogLevel;
using support::readFile;
using support::writeFile;
using Hosts = std::vector<std::string>;

constexpr const char* kDecodeFailed = "Failed to decode blocking rules: %s";
constexpr const char* kCleared = "Cleared expired blocking rules atomically";
const platform::Instant kNoon(sys_days(year(2026) / 3 / 2) + hours(12));

BlockingRules endingAt(seconds afterNoon, std::string host = "example.com") {
  return {platform::Uuid::random(),
          BlockingRules::Mode::block,
          {std::move(host)},
          kNoon + afterNoon,
          {}};
}

class BlockingRuleStoreTest : public ::testing::Test {
 protected:
  fs::path shared() const { return locations_.sharedRulesFile; }
  fs::path container() const { return dir_ / "container" / "blocking-rules.json"; }
  void put(const fs::path& at, const BlockingRules& rules) {
    writeFile(at, encodeBlockingRules(rules));
  }
  Hosts loadedHosts() const {
    std::optional<BlockingRules> loaded = store_.load();
    return loaded ? loaded->hosts : Hosts{"<nothing>"};
  }
  // A link where the shared file's lock goes: its lock cannot be taken.
  void blockTheSharedLock() {
    fs::create_directories(shared().parent_path());
    fs::create_symlink(dir_ / "elsewhere", platform::lockFilePath(shared()));
  }

  support::TempDir dir_;
  StoreLocations locations_ = StoreLocations::at(dir_ / "Shared", dir_ / "container");
  platform::testing::FakeClock clock_{kNoon};
  BlockingRuleStore store_{locations_, clock_};
  platform::testing::ScopedMemoryLog log_;
};

TEST_F(BlockingRuleStoreTest, ReadsTheSharedFileFirstThenTheContainersWhenThereIsOne) {
  EXPECT_EQ(store_.rulesFileURLs(), (std::vector<fs::path>{shared(), container()}));
  const StoreLocations noContainer = StoreLocations::at(dir_ / "Shared", std::nullopt);
  EXPECT_EQ(BlockingRuleStore(noContainer, clock_).rulesFileURLs(), std::vector{shared()});

  EXPECT_EQ(loadedHosts(), Hosts{"<nothing>"});
  store_.clearIfExpired();
  EXPECT_FALSE(fs::exists(dir_ / "Shared"));
  put(container(), endingAt(hours(1), "container"));
  EXPECT_EQ(loadedHosts(), Hosts{"container"});
  put(shared(), endingAt(-hours(1), "shared"));  // expired or not, the first record counts
  EXPECT_EQ(loadedHosts(), Hosts{"shared"});
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(BlockingRuleStoreTest, AnUndecodableFileIsAnErrorForEachReadAndTheSweepLeavesItAlone) {
  writeFile(shared(), "{\"mode\":\"block\"}");
  put(container(), endingAt(hours(1), "container"));
  EXPECT_EQ(loadedHosts(), Hosts{"container"});
  // The plain read, and the retry under the lock in case it met a half-finished write.
  const std::vector<platform::LogEntry> entries = log_->entries();
  ASSERT_EQ(entries.size(), 2u);
  for (const platform::LogEntry& entry : entries) {
    EXPECT_EQ(entry.format, kDecodeFailed);
    EXPECT_EQ(entry.level, LogLevel::kError);
  }
  log_->clear();
  store_.clearIfExpired();
  EXPECT_EQ(readFile(shared()), "{\"mode\":\"block\"}");
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(BlockingRuleStoreTest, ALockThatCannotBeTakenIsLoggedAndTheOtherFileStillServes) {
  fs::create_directories(shared());  // unreadable, so the load retries under the lock
  blockTheSharedLock();
  put(container(), endingAt(-hours(1), "container"));
  EXPECT_EQ(loadedHosts(), Hosts{"container"});
  EXPECT_EQ(log_->count(kDecodeFailed), 1u);
  EXPECT_EQ(log_->count("File coordination error during load: %s"), 1u);

  store_.clearIfExpired();
  EXPECT_EQ(log_->count("File coordination error during clearIfExpired: %s"), 1u);
  EXPECT_FALSE(fs::exists(container()));
  EXPECT_EQ(log_->count(kCleared), 1u);
  EXPECT_FALSE(fs::exists(dir_ / "elsewhere"));
}

TEST_F(BlockingRuleStoreTest, TheSweepRemovesEachRecordOnlyAfterItsEnd) {
  put(shared(), endingAt(seconds(0)));
  put(container(), endingAt(-seconds(1)));
  store_.clearIfExpired();
  EXPECT_TRUE(fs::exists(shared()));  // still active at its end
  EXPECT_FALSE(fs::exists(container()));
  clock_.advance(seconds(1));
  store_.clearIfExpired();
  EXPECT_FALSE(fs::exists(shared()));
  const std::vector<platform::LogEntry> cleared = log_->withFormat(kCleared);
  ASSERT_EQ(cleared.size(), 2u);
  EXPECT_EQ(cleared[0].level, LogLevel::kDebug);
}

TEST_F(BlockingRuleStoreTest, SaveWritesTheSharedFileForAllToReadAndNeverTheContainers) {
  put(container(), endingAt(hours(1), "container"));
  const std::string containerBefore = readFile(container());
  for (const char* host : {"created", "replaced"}) {
    const BlockingRules rules = endingAt(hours(1), host);
    ASSERT_TRUE(store_.save(rules).ok());
    EXPECT_EQ(readFile(shared()), encodeBlockingRules(rules));
  }
  EXPECT_EQ(fs::status(shared()).permissions(), fs::perms(0644));
  EXPECT_EQ(readFile(container()), containerBefore);
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(BlockingRuleStoreTest, ASaveThatCannotWriteFailsWithoutAFallback) {
  const struct {
    std::function<void()> plant;
    size_t logged;  // "Failed to save": only a write under the lock logs
  } cases[] = {
      {[&] { fs::create_directories(shared()); }, 1},  // a folder in the way of the replacement
      {[&] {  // a dangling link: the file is never created through it
         fs::create_directories(shared().parent_path());
         fs::create_symlink(dir_ / "planted", shared());
       },
       0},
      {[&] { writeFile(dir_ / "Shared", ""); }, 0},  // a file in the way of the folder
  };
  for (const auto& c : cases) {
    fs::remove_all(dir_ / "Shared");
    c.plant();
    log_->clear();
    EXPECT_FALSE(store_.save(endingAt(hours(1))).ok());
    EXPECT_EQ(log_->count("Failed to save blocking rules: %s"), c.logged);
    EXPECT_EQ(log_->entries().size(), c.logged);
  }
  EXPECT_FALSE(fs::exists(dir_ / "planted"));
}

TEST_F(BlockingRuleStoreTest, ALockThatCannotBeTakenForASaveFallsBackToADirectAtomicWrite) {
  blockTheSharedLock();
  const BlockingRules rules = endingAt(hours(1));
  ASSERT_TRUE(store_.save(rules).ok());
  EXPECT_EQ(readFile(shared()), encodeBlockingRules(rules));
  EXPECT_EQ(
      log_->count("File coordination error during save: %s. Falling back to direct atomic write."),
      1u);
}

TEST_F(BlockingRuleStoreTest, AFailedRemovalIsReportedNotClaimed) {
  put(shared(), endingAt(-hours(1)));
  fs::permissions(dir_.path(), fs::perms(0755));
  fs::permissions(shared().parent_path(), fs::perms(0755));
  // The lock file exists already, so only the removal meets the read-only folder.
  ASSERT_TRUE(platform::coordinateReading(shared(), [](const fs::path&) {}).ok());
  // The sweep runs as a process that may read the folder but not change it.
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(10);
    if (::geteuid() != 0) ::chmod(shared().parent_path().c_str(), 0555);
    log_->clear();
    store_.clearIfExpired();
    ::_exit(log_->count("Failed to remove expired blocking rules: %s") == 1 &&
                    log_->count(kCleared) == 0
                ? 0
                : 11);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(fs::exists(shared()));
}

}  // namespace
}  // namespace varn
