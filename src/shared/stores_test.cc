#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/file_coordination.h"
#include "platform/testing/fake_clock.h"
#include "platform/testing/memory_log_sink.h"
#include "shared/blocking_rule_store.h"
#include "shared/mode_store.h"
#include "shared/schedule_store.h"
#include "support/lock_holding_child.h"
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
constexpr const char* kRemoveFailed = "Failed to remove expired blocking rules: %s";
const platform::Instant kNoon(sys_days(year(2026) / 3 / 2) + hours(12));

BlockingRules endingAt(seconds afterNoon, std::string host = "example.com") {
  BlockingRules rules;
  rules.hosts = {std::move(host)};
  rules.endsAt = kNoon + afterNoon;
  return rules;
}

class StoreTest : public ::testing::Test {
 protected:
  fs::path shared() const { return locations_.sharedRulesFile; }
  fs::path inContainer(const char* name) const { return dir_ / "container" / name; }
  fs::path container() const { return inContainer("blocking-rules.json"); }
  void put(const fs::path& at, const BlockingRules& r) { writeFile(at, encodeBlockingRules(r)); }
  Hosts loadedHosts() const {
    std::optional<BlockingRules> loaded = store_.load();
    return loaded ? loaded->hosts : Hosts{"<nothing>"};
  }
  void blockTheSharedLock() {
    fs::create_directories(shared().parent_path());
    fs::create_symlink(dir_ / "elsewhere", platform::lockFilePath(shared()));
  }

  support::TempDir dir_;
  StoreLocations locations_ = StoreLocations::at(dir_ / "Shared", dir_ / "container");
  platform::testing::FakeClock clock_{kNoon};
  BlockingRuleStore store_{locations_, clock_};
  ModeStore modes_{locations_};
  ScheduleStore schedules_{locations_};
  platform::testing::ScopedMemoryLog log_;
};

TEST_F(StoreTest, RulesAreReadFromTheSharedFileFirstThenFromTheContainers) {
  EXPECT_EQ(loadedHosts(), Hosts{"<nothing>"});
  store_.clearIfExpired();
  EXPECT_FALSE(fs::exists(dir_ / "Shared"));
  put(container(), endingAt(hours(1), "container"));
  EXPECT_EQ(loadedHosts(), Hosts{"container"});
  put(shared(), endingAt(-hours(1), "shared"));  // expired or not, the first record counts
  EXPECT_EQ(loadedHosts(), Hosts{"shared"});
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(StoreTest, AnUndecodableRulesFileIsAnErrorForEachReadAndTheSweepLeavesItAlone) {
  writeFile(shared(), "{\"mode\":\"block\"}");
  put(container(), endingAt(hours(1), "container"));
  EXPECT_EQ(loadedHosts(), Hosts{"container"});
  // The plain read, and the retry under the lock.
  const std::vector<platform::LogEntry> failures = log_->withFormat(kDecodeFailed);
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[1].level, LogLevel::kError);
  log_->clear();
  store_.clearIfExpired();
  EXPECT_EQ(readFile(shared()), "{\"mode\":\"block\"}");
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(StoreTest, ARulesLockThatCannotBeTakenIsLoggedAndTheOtherFileStillServes) {
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
}

// At full precision: a millisecond after its end, in the same second, a record is expired.
TEST_F(StoreTest, TheSweepRemovesEachRulesRecordOnlyAfterItsEnd) {
  put(shared(), endingAt(seconds(0)));
  put(container(), endingAt(-seconds(1)));
  clock_.advance(-milliseconds(1));
  store_.clearIfExpired();
  EXPECT_FALSE(fs::exists(container()));
  clock_.advance(milliseconds(1));
  store_.clearIfExpired();
  EXPECT_TRUE(fs::exists(shared()));  // still active at its end
  clock_.advance(milliseconds(1));
  store_.clearIfExpired();
  EXPECT_FALSE(fs::exists(shared()));
  const std::vector<platform::LogEntry> cleared = log_->withFormat(kCleared);
  ASSERT_EQ(cleared.size(), 2u);
  EXPECT_EQ(cleared[0].level, LogLevel::kDebug);
}

// Both locks held for ever cost a sweep one wait limit in all: the watcher's stop() waits for it.
TEST_F(StoreTest, ASweepWaitsOneLimitInAllWhenBothLocksAreHeldForEver) {
  put(shared(), endingAt(-hours(1)));
  put(container(), endingAt(-hours(1)));
  support::LockHoldingChild sharedHolder(shared(), LOCK_EX), containerHolder(container(), LOCK_EX);
  ASSERT_TRUE(sharedHolder.held() && containerHolder.held());
  const auto started = steady_clock::now();
  store_.clearIfExpired();
  EXPECT_LT(steady_clock::now() - started, platform::kLockWaitLimit + seconds(2));
  EXPECT_TRUE(fs::exists(shared()) && fs::exists(container()));
  EXPECT_EQ(log_->count("File coordination error during clearIfExpired: %s"), 2u);
}

TEST_F(StoreTest, SavedRulesGoToTheSharedFileForAllToReadAndNeverToTheContainer) {
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

TEST_F(StoreTest, ARulesSaveThatCannotWriteFailsWithoutAFallback) {
  fs::create_directories(shared());  // a folder in the way of the replacement
  EXPECT_FALSE(store_.save(endingAt(hours(1))).ok());
  EXPECT_EQ(log_->count("Failed to save blocking rules: %s"), 1u);
  fs::remove(shared());
  fs::create_symlink(dir_ / "planted", shared());  // a dangling link: never created through
  EXPECT_FALSE(store_.save(endingAt(hours(1))).ok());
  EXPECT_FALSE(fs::exists(dir_ / "planted"));
  fs::remove_all(dir_ / "Shared");
  writeFile(dir_ / "Shared", "");  // a file in the way of the folder
  EXPECT_FALSE(store_.save(endingAt(hours(1))).ok());
  EXPECT_EQ(log_->entries().size(), 1u);  // only the failed write under the lock logs
}

TEST_F(StoreTest, ARulesSaveWhoseLockCannotBeTakenFallsBackToADirectAtomicWrite) {
  blockTheSharedLock();
  const BlockingRules rules = endingAt(hours(1));
  ASSERT_TRUE(store_.save(rules).ok());
  EXPECT_EQ(readFile(shared()), encodeBlockingRules(rules));
  EXPECT_EQ(
      log_->count("File coordination error during save: %s. Falling back to direct atomic write."),
      1u);
}

TEST_F(StoreTest, UserDataStoresGiveNothingQuietlyWithoutAContainerOrAFile) {
  const StoreLocations none = StoreLocations::at(dir_ / "Shared", std::nullopt);
  EXPECT_FALSE(ModeStore(none).loadModes().has_value());
  EXPECT_TRUE(ScheduleStore(none).loadSchedules().empty());
  EXPECT_FALSE(modes_.loadModes().has_value());  // no file: nothing, unlike an empty list
  // A file removed between the read and the check counts as absent, as a dangling link does.
  fs::create_directories(dir_ / "container");
  fs::create_symlink(dir_ / "missing", inContainer("modes.json"));
  EXPECT_FALSE(modes_.loadModes().has_value());
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(StoreTest, UserDataStoresReadEveryEntryInFileOrderAfreshOnEveryCall) {
  std::vector<Mode> two(2);  // the same id twice: which entry counts is the caller's business
  two[0].name = "A";
  two[1].name = "B";
  for (const std::vector<Mode>& modes : {two, std::vector<Mode>{}}) {
    writeFile(inContainer("modes.json"), encodeModes(modes));
    writeFile(inContainer("schedules.json"),
              encodeFocusSchedules(std::vector<FocusSchedule>(modes.size())));
    EXPECT_EQ(modes_.loadModes(), modes);
    EXPECT_EQ(schedules_.loadSchedules().size(), modes.size());
  }
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(StoreTest, UserDataStoresLogAFileTheyCannotReadOrDecodeAsTheirOwnError) {
  writeFile(inContainer("modes.json"), "[{}]");
  fs::create_directory(inContainer("schedules.json"));
  EXPECT_FALSE(modes_.loadModes().has_value());
  EXPECT_TRUE(schedules_.loadSchedules().empty());
  const std::vector<platform::LogEntry> entries = log_->entries();
  const std::vector<std::string> lines = log_->lines();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].category + " " + entries[1].category, "mode-store schedule-store");
  EXPECT_EQ(lines[0], "error: Failed to load modes: [0].id: required key is missing");
  EXPECT_TRUE(lines[1].starts_with("error: Failed to load schedules: ")) << lines[1];
  EXPECT_NE(lines[1].find("Is a directory"), std::string::npos) << lines[1];
}

// Another user's file in the sticky folder: honoured, but its removal or replacement must fail
// and say so rather than claim success.
TEST_F(StoreTest, AnotherUsersRulesFileInAStickyFolderIsReadButNeverRemovedOrReplaced) {
  if (::geteuid() != 0) GTEST_SKIP() << "planting another user's file needs root";
  put(shared(), endingAt(-hours(1), "planted"));
  const std::string planted = readFile(shared());
  ASSERT_EQ(::chown(shared().c_str(), 65534, 65534), 0);
  fs::permissions(dir_.path(), fs::perms(0755));
  fs::permissions(shared().parent_path(), fs::perms(01777));
  const pid_t pid = ::fork();
  if (pid == 0) {  // as a third user, who may write in the folder
    if (::setgid(65533) != 0 || ::setuid(65533) != 0) ::_exit(10);
    if (loadedHosts() != Hosts{"planted"}) ::_exit(11);
    store_.clearIfExpired();
    if (log_->count(kRemoveFailed) != 1 || log_->count(kCleared) != 0) ::_exit(12);
    ::_exit(store_.save(endingAt(hours(1), "mine")).ok() ? 13 : 0);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(status, 0) << "failed check " << WEXITSTATUS(status);
  EXPECT_EQ(readFile(shared()), planted);
}

}  // namespace
}  // namespace varn
