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

// Monday 2 March 2026, noon UTC.
const Instant kStart(std::chrono::sys_days(std::chrono::year(2026) / 3 / 2) + 12h);

class HelperTest : public ::testing::Test {
 protected:
  void putRulesEndingAt(Instant endsAt) {
    fs::create_directories(locations_.sharedRulesFile.parent_path());
    support::writeFile(locations_.sharedRulesFile,
                       encodeBlockingRules(
                           {platform::Uuid::random(), BlockingRules::Mode::block, {}, endsAt, {}}));
  }
  void putScheduleCoveringTheStart() {
    const Mode mode{platform::Uuid::random(),
                    "Focus",
                    "",
                    ModeType::block,
                    {"a.example"},
                    {},
                    false,
                    std::nullopt};
    fs::create_directories(dir_ / "container");
    support::writeFile(dir_ / "container" / "modes.json", encodeModes({mode}));
    support::writeFile(dir_ / "container" / "schedules.json",
                       encodeFocusSchedules({{platform::Uuid::random(),
                                              "Noon",
                                              mode.id,
                                              {Weekday::monday},
                                              700,
                                              800,
                                              0,
                                              300,
                                              true}}));
  }

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

TEST_F(HelperTest, StartWatchesThenWritesAScheduledSessionBeforeTheFirstTick) {
  fs::create_directories(locations_.sharedRulesFile.parent_path());
  putScheduleCoveringTheStart();
  workspace_.installed.insert("com.varn.macos");
  helper_.start();
  EXPECT_TRUE(fs::exists(locations_.sharedRulesFile));
  EXPECT_EQ(workspace_.opened, std::vector<std::string>{"com.varn.macos"});
  EXPECT_EQ(loop_.elapsed(), 0s);
  const std::vector<std::string> lines = log_->lines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "default: Blocking rules watcher stopped.");
  EXPECT_EQ(lines[1], "default: Blocking rules watcher started.");
  EXPECT_EQ(lines[2],
            "default: Schedule 'Noon' activated blocking until 2026-03-02 13:20:00 +0000");
  EXPECT_EQ(lines[3], "default: Launched main app for scheduled session enforcement");
}

TEST_F(HelperTest, KeepsEvaluatingAndSweepingWhenTheFolderCannotBeWatched) {
  // No shared folder: the watcher cannot start, and no session is due.
  helper_.start();
  EXPECT_EQ(log_->count("Failed to open blocking rules directory for watching."), 1u);
  putRulesEndingAt(kStart + 90s);
  loop_.advance(60s);
  EXPECT_EQ(log_->count("Blocking already active, skipping evaluation"), 4u);
  EXPECT_TRUE(fs::exists(locations_.sharedRulesFile));
  loop_.advance(60s);  // 2:00: expired at 1:30, removed by the second sweep
  EXPECT_FALSE(fs::exists(locations_.sharedRulesFile));
  EXPECT_EQ(log_->count("Cleared expired blocking rules atomically"), 1u);
}

TEST_F(HelperTest, TheFirstSweepComesSixtySecondsAfterStart) {
  helper_.start();
  putRulesEndingAt(kStart - 1s);  // placed after the watcher's own first sweep
  loop_.advance(59s);
  EXPECT_TRUE(fs::exists(locations_.sharedRulesFile));
  loop_.advance(1s);
  EXPECT_FALSE(fs::exists(locations_.sharedRulesFile));
}

}  // namespace
}  // namespace varn
