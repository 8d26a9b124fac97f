// The real VarnHelper process, in a private mount namespace with its own /Users, data folder,
// session bus and wall clock.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "helper_process.h"
#include "platform/testing/private_session_bus.h"
#include "platform/testing/temp_dir.h"
#include "shared/blocking_rules.h"
#include "shared/focus_schedule.h"
#include "shared/mode.h"

namespace varn::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using platform::testing::readFile;
using platform::testing::writeFile;

constexpr const char* kRulesFileName = "com.varn.macos.blocking-rules.json";
// Monday 2 March 2026, 10:30 UTC.
const sys_seconds kStart = sys_days(year(2026) / 3 / 2) + hours(10) + minutes(30);

class HelperE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!canMountOnUsers(&why)) GTEST_SKIP() << why;
    fs::create_directories(shared_);
    fs::permissions(shared_, fs::perms(01777));
    fs::create_directories(container_);
    bus_.addService("com.varn.macos", std::string(VARN_FAKE_MAIN_APP) + " com.varn.macos " +
                                          (dir_ / "main-app.pid").native());
    if (!bus_.start(&why)) GTEST_SKIP() << why;
  }

  void startHelper(bool sharedFolderOnFullTmpfs = false, bool sharedFolderReadOnly = false) {
    helper_ = std::make_unique<HelperProcess>(HelperProcess::Options{
        dir_ / "Users", dir_ / "data", bus_.address(), kStart, dir_ / "helper.log",
        sharedFolderOnFullTmpfs, sharedFolderReadOnly});
  }

  // A mode and an enabled Monday schedule from 09:00 to 12:00 that uses it.
  void writeScheduleCoveringTheStart() {
    const Mode mode{platform::Uuid::random(), "Deep work", "brain", ModeType::block,
                    {"news.example.com"}, {}, false, std::nullopt};
    const FocusSchedule schedule{platform::Uuid::random(), "Morning", mode.id, {Weekday::monday},
                                 540, 720, 0, 300, true};
    writeFile(container_ / "modes.json", encodeModes({mode}));
    writeFile(container_ / "schedules.json", encodeFocusSchedules({schedule}));
  }

  // The session in the shared file, once there is one that decodes: the helper creates the file
  // empty before it replaces it with the record.
  std::optional<BlockingRules> waitForSession(const fs::path& folder, seconds timeout) {
    std::optional<BlockingRules> found;
    waitFor([&] {
      Result<BlockingRules> rules = decodeBlockingRules(readFile(folder / kRulesFileName));
      if (rules.ok()) found = rules.value();
      return found.has_value();
    }, timeout);
    return found;
  }
  std::optional<BlockingRules> waitForSession() { return waitForSession(shared_, seconds(5)); }

  std::string rulesEndingAt(sys_seconds endsAt) {
    return encodeBlockingRules(
        {platform::Uuid::random(), BlockingRules::Mode::block, {"example.com"}, endsAt, {}});
  }

  void TearDown() override {
    if (helper_) {
      EXPECT_TRUE(helper_->running()) << "the helper exited or crashed";
    }
    if (HasFailure() && helper_) {
      for (const std::string& line : helper_->logLines()) std::cerr << "helper: " << line << '\n';
    }
  }

  platform::testing::TempDir dir_;
  fs::path shared_ = dir_ / "Users" / "Shared";
  fs::path container_ = dir_ / "data" / "group.com.varn.macos";
  platform::testing::PrivateSessionBus bus_{2000};
  std::unique_ptr<HelperProcess> helper_;
};

TEST_F(HelperE2eTest, ALaunchInsideAScheduleWritesTheSessionAndOpensTheMainApp) {
  writeScheduleCoveringTheStart();
  startHelper();
  std::optional<BlockingRules> rules = waitForSession();
  ASSERT_TRUE(rules.has_value());
  EXPECT_EQ(rules->hosts, std::vector<std::string>{"news.example.com"});
  EXPECT_EQ(rules->endsAt, kStart + minutes(90));
  EXPECT_EQ(fs::status(shared_ / kRulesFileName).permissions(), fs::perms(0644));

  ASSERT_TRUE(waitFor([&] { return helper_->logCount("Launched main app for scheduled session enforcement") == 1; },
                      seconds(5)));
  EXPECT_TRUE(fs::exists(dir_ / "main-app.pid"));
  EXPECT_EQ(helper_->logCount("default [com.varn.macos/schedule-evaluator] Schedule 'Morning' "
                              "activated blocking until <private>"),
            1u);
  EXPECT_EQ(helper_->logCount("Blocking rules watcher started."), 1u);

  // The next tick finds the session active and launches nothing more.
  ASSERT_TRUE(waitFor([&] { return helper_->logCount("Blocking already active, skipping evaluation") == 1; },
                      seconds(20)));
  EXPECT_EQ(helper_->logCount("Launched main app for scheduled session enforcement"), 1u);
}

TEST_F(HelperE2eTest, AnExpiredSessionRenamedIntoTheSharedFolderVanishesWithinASecond) {
  startHelper();
  ASSERT_TRUE(waitFor([&] { return helper_->logCount("Blocking rules watcher started.") == 1; },
                      seconds(5)));
  writeFile(dir_ / "Users" / "incoming.json", rulesEndingAt(kStart - hours(1)));
  fs::rename(dir_ / "Users" / "incoming.json", shared_ / kRulesFileName);
  EXPECT_TRUE(waitFor([&] { return !fs::exists(shared_ / kRulesFileName); }, seconds(1)));
  EXPECT_TRUE(waitFor([&] { return helper_->logCount("Cleared expired blocking rules atomically") == 1; },
                      seconds(1)));
}

TEST_F(HelperE2eTest, StartsWithoutTheSharedFolderAndCreatesItForASession) {
  fs::remove_all(shared_);
  writeScheduleCoveringTheStart();
  startHelper();
  EXPECT_TRUE(waitForSession().has_value());
  EXPECT_EQ(helper_->logCount("Failed to open blocking rules directory for watching."), 1u);
  EXPECT_EQ(helper_->logCount("Blocking rules watcher started."), 0u);
}

TEST_F(HelperE2eTest, AHostileSharedFolderNeverHangsOrCrashesTheHelper) {
  ASSERT_EQ(::mkfifo((shared_ / kRulesFileName).c_str(), 0644), 0);
  fs::create_symlink("/dev/zero", container_ / "blocking-rules.json");
  writeFile(shared_ / "huge", std::string(8 << 20, '['));
  startHelper();
  ASSERT_TRUE(waitFor([&] { return helper_->logCount("Blocking rules watcher started.") == 1; },
                      seconds(5)));
  // The huge file takes the FIFO's place; an expired session then takes the huge file's.
  fs::rename(shared_ / "huge", shared_ / kRulesFileName);
  writeFile(dir_ / "Users" / "incoming.json", rulesEndingAt(kStart - hours(1)));
  fs::rename(dir_ / "Users" / "incoming.json", shared_ / kRulesFileName);
  EXPECT_TRUE(waitFor([&] { return !fs::exists(shared_ / kRulesFileName); }, seconds(2)));
  EXPECT_TRUE(fs::is_symlink(container_ / "blocking-rules.json"));
  EXPECT_GE(helper_->logCount("Failed to decode blocking rules: <private>"), 2u);
}

TEST_F(HelperE2eTest, AReadOnlyThenFullSharedFolderFailsEachTickUntilTheNextTickCanSave) {
  constexpr const char* kWriteFailed = "Failed to write blocking rules: ";
  writeScheduleCoveringTheStart();
  startHelper(/*sharedFolderOnFullTmpfs=*/true, /*sharedFolderReadOnly=*/true);
  const fs::path inside = helper_->seenByHelper("/Users/Shared");
  // t = 0: read-only; the file cannot even be created.
  ASSERT_TRUE(waitFor([&] { return helper_->logCount(kWriteFailed) == 1; }, seconds(5)));
  EXPECT_EQ(helper_->logCount("Read-only file system"), 1u);
  EXPECT_FALSE(fs::exists(inside / kRulesFileName));

  // t = 15 s: writable but full; the write fails, leaving the empty file of a failed save.
  ASSERT_TRUE(helper_->inHelperNamespace([] {
    return ::mount(nullptr, "/Users/Shared", nullptr, MS_REMOUNT | MS_BIND, nullptr) == 0;
  }));
  ASSERT_TRUE(waitFor([&] { return helper_->logCount(kWriteFailed) == 2; }, seconds(20)));
  EXPECT_EQ(helper_->logCount("No space left on device"), 1u);
  EXPECT_EQ(helper_->logCount("error [com.varn.macos/blocking-rule-store] Failed to save blocking "
                              "rules: <private>"),
            1u);
  EXPECT_EQ(readFile(inside / kRulesFileName), "");
  ASSERT_TRUE(helper_->running());

  // t = 30 s: room again; the session is written, with nothing else left in the folder.
  fs::remove(inside / "filler");
  ASSERT_TRUE(waitForSession(inside, seconds(20)).has_value());
  EXPECT_TRUE(waitFor(
      [&] { return helper_->logCount("Launched main app for scheduled session enforcement") == 1; },
      seconds(5)));
  EXPECT_EQ(helper_->logCount(kWriteFailed), 2u);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(inside)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{kRulesFileName, std::string(kRulesFileName) + ".lock"}));
}

TEST_F(HelperE2eTest, TheSixtySecondSweepClearsAnExpiredContainerFile) {
  // Active for the first two ticks, then expired; nothing in the shared folder changes, so only
  // the 60-second sweep can remove it.
  writeFile(container_ / "blocking-rules.json", rulesEndingAt(kStart + seconds(20)));
  startHelper();
  ASSERT_TRUE(waitFor([&] { return helper_->logCount("Blocking already active, skipping evaluation") == 2; },
                      seconds(20)));
  std::this_thread::sleep_for(seconds(20));  // t = 35 s: expired, not yet swept
  EXPECT_TRUE(fs::exists(container_ / "blocking-rules.json"));
  // The entry is written just after the removal.
  EXPECT_TRUE(waitFor([&] { return helper_->logCount("Cleared expired blocking rules atomically") == 1; },
                      seconds(30)));
  EXPECT_FALSE(fs::exists(container_ / "blocking-rules.json"));
  EXPECT_EQ(helper_->logCount("Blocking already active, skipping evaluation"), 2u);
}

}  // namespace
}  // namespace varn::e2e
