#include "helper/helper.h"

#include <gtest/gtest.h>

#include "platform/testing/fake_clock.h"
#include "platform/testing/fake_run_loop.h"
#include "platform/testing/fake_workspace.h"
#include "platform/testing/memory_log_sink.h"
#include "support/temp_dir.h"

namespace varn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::Instant;

const Instant kStart(std::chrono::sys_days(std::chrono::year(2026) / 3 / 2) + 12h);

class HelperTest : public ::testing::Test {
 protected:
  support::TempDir dir_;
  StoreLocations locations_ = StoreLocations::at(dir_ / "Shared", dir_ / "container");
  platform::testing::FakeClock clock_{kStart};
  platform::testing::FakeRunLoop loop_{&clock_};
  std::unique_ptr<platform::Calendar> calendar_ = platform::calendarForZone("UTC");
  platform::testing::FakeWorkspace workspace_;
  platform::BundleInfo bundle_{"com.varn.macos.helper", std::nullopt};
  platform::testing::ScopedMemoryLog log_;
  Helper helper_{{loop_, locations_, clock_, *calendar_, workspace_, bundle_}};
};

TEST_F(HelperTest, StartsTheWatcherThenTheEvaluatorWhichWritesADueSessionAndLaunchesTheApp) {
  fs::create_directories(locations_.sharedRulesFile.parent_path());
  Mode mode;
  mode.id = platform::Uuid::random();
  support::writeFile(dir_ / "container" / "modes.json", encodeModes({mode}));
  const FocusSchedule noon{
      platform::Uuid::random(), "Noon", mode.id, {Weekday::monday}, 700, 800, 0, 300, true};
  support::writeFile(dir_ / "container" / "schedules.json", encodeFocusSchedules({noon}));
  workspace_.installed.insert("com.varn.macos");

  ASSERT_TRUE(helper_.start().ok());

  EXPECT_TRUE(fs::exists(locations_.sharedRulesFile));
  EXPECT_EQ(workspace_.opened, std::vector<std::string>{"com.varn.macos"});
  EXPECT_EQ(log_->lines(), (std::vector<std::string>{
                               "default: Blocking rules watcher stopped.",
                               "default: Blocking rules watcher started.",
                               "default: Schedule 'Noon' activated blocking until <private>",
                               "default: Launched main app for scheduled session enforcement"}));
  EXPECT_TRUE(helper_.status().starts_with("Watching " + (dir_ / "Shared").native() + ";"));
}

TEST_F(HelperTest, SweepsExpiredRulesSixtySecondsAfterStartAndEverySixtySecondsFromThen) {
  ASSERT_TRUE(helper_.start().ok());  // without a shared folder to watch, only the timer sweeps
  EXPECT_TRUE(helper_.status().starts_with("Not watching " + (dir_ / "Shared").native()));
  for (int sweep = 1; sweep <= 2; ++sweep) {
    fs::create_directories(locations_.sharedRulesFile.parent_path());
    support::writeFile(
        locations_.sharedRulesFile,
        encodeBlockingRules(
            {platform::Uuid::random(), BlockingRules::Mode::block, {}, clock_.now() - 1s, {}}));
    loop_.advance(59s);
    EXPECT_TRUE(fs::exists(locations_.sharedRulesFile)) << sweep;
    loop_.advance(1s);
    EXPECT_FALSE(fs::exists(locations_.sharedRulesFile)) << sweep;
  }
}

class HelperTimerTest : public HelperTest, public ::testing::WithParamInterface<int> {};

TEST_P(HelperTimerTest, FailsToStartWhenTheRunLoopRefusesATimer) {
  loop_.timersLeft = GetParam();
  EXPECT_FALSE(helper_.start().ok());
}

INSTANTIATE_TEST_SUITE_P(TimersGranted, HelperTimerTest, ::testing::Values(0, 1));

}  // namespace
}  // namespace varn
