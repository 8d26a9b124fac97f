#include "schedule/helper_schedule_evaluator.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <tuple>

#include "platform/testing/fake_clock.h"
#include "platform/testing/fake_run_loop.h"
#include "platform/testing/memory_log_sink.h"
#include "support/temp_dir.h"

namespace varn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using platform::Instant;
using platform::Uuid;
using Strings = std::vector<std::string>;

const Instant kMonday(sys_days(year(2026) / 3 / 2));

Mode makeMode(ModeType type, Strings sites, Strings apps = {}) {
  return Mode{Uuid::random(),   "Deep work",     "brain", type,
              std::move(sites), std::move(apps), false,   std::nullopt};
}

FocusSchedule makeSchedule(std::string name, const Mode& mode, int64_t start, int64_t end,
                           bool enabled = true) {
  return FocusSchedule{
      Uuid::random(), std::move(name), mode.id, {Weekday::monday}, start, end, 0, 300, enabled};
}

// The user's calendar as the evaluator meets it: its zone may change between two passes.
class ZoneThatChanges final : public platform::Calendar {
 public:
  int weekday(Instant at) const override { return zone->weekday(at); }
  std::optional<Instant> startOfDay(Instant at) const override { return zone->startOfDay(at); }
  seconds utcOffset(Instant at) const override { return zone->utcOffset(at); }
  std::unique_ptr<platform::Calendar> snapshot() const override { return zone->snapshot(); }
  std::unique_ptr<platform::Calendar> zone = platform::calendarForZone("UTC");
};

class EvaluatorTest : public ::testing::Test {
 protected:
  void write(const std::vector<FocusSchedule>& schedules, const std::vector<Mode>& modes) {
    support::writeFile(container_ / "schedules.json", encodeFocusSchedules(schedules));
    support::writeFile(container_ / "modes.json", encodeModes(modes));
  }
  std::optional<BlockingRules> shared() const { return rules_.readRules(rulesFile_); }

  support::TempDir dir_;
  fs::path container_ = dir_ / "container";
  StoreLocations locations_ = StoreLocations::at(dir_ / "Shared", container_);
  const fs::path& rulesFile_ = locations_.sharedRulesFile;
  platform::testing::FakeClock clock_{kMonday + hours(10) + minutes(30)};
  platform::testing::FakeRunLoop loop_{&clock_};
  ZoneThatChanges calendar_;
  BlockingRuleStore rules_{locations_, clock_};
  ScheduleStore schedules_{locations_};
  ModeStore modes_{locations_};
  platform::testing::ScopedMemoryLog log_;
  std::vector<bool> launches_;  // one per launch: whether the session had been written by then
  HelperScheduleEvaluator evaluator_{{loop_, rules_, schedules_, modes_, clock_, calendar_,
                                      [this] { launches_.push_back(shared().has_value()); }}};
};

TEST_F(EvaluatorTest, StartEvaluatesAtOnceThenEveryFifteenSecondsWhileTheSessionHoldsThemBack) {
  const Mode mode = makeMode(ModeType::block, {"example.com"});
  write({makeSchedule("Morning", mode, 540, 720)}, {mode});
  // An expired session holds nothing back.
  ASSERT_TRUE(rules_.save({Uuid::random(), BlockingRules::Mode::allow, {}, kMonday, {}}).ok());
  ASSERT_TRUE(evaluator_.start().ok());
  const std::optional<BlockingRules> written = shared();
  ASSERT_TRUE(written);
  EXPECT_EQ(written->mode, BlockingRules::Mode::block);
  EXPECT_EQ(written->hosts, mode.sites);
  EXPECT_EQ(written->endsAt, kMonday + hours(12));
  EXPECT_EQ(log_->lines(),
            Strings{"default: Schedule 'Morning' activated blocking until <private>"});
  ASSERT_TRUE(evaluator_.start().ok());  // a second start neither evaluates nor adds a timer
  loop_.advance(seconds(45));
  EXPECT_EQ(log_->count("Blocking already active, skipping evaluation"), 3u);
  EXPECT_EQ(launches_, std::vector<bool>{true});
}

// The zone is asked at every pass: the user may travel while the helper runs. The main
// application tells sessions apart by their id: a new random one at each activation.
TEST_F(EvaluatorTest,
       TheWindowIsHalfOpenInTheZoneOfEachPassAndEachActivationHasANewRandomSessionId) {
  const Mode mode = makeMode(ModeType::block, {});
  write({makeSchedule("Morning", mode, 540, 720)}, {mode});
  const std::tuple<Instant, bool, const char*> cases[] = {
      {kMonday + hours(9) - nanoseconds(1), false, "UTC"}, {kMonday + hours(9), true, "UTC"},
      {kMonday + hours(12) - nanoseconds(1), true, "UTC"}, {kMonday + hours(12), false, "UTC"},
      {kMonday + hours(10), false, "Asia/Tokyo"},  // 19:00 there
  };
  std::set<Uuid> ids;
  for (const auto& [at, activates, zone] : cases) {
    fs::remove(rulesFile_);
    clock_.set(at);
    calendar_.zone = platform::calendarForZone(zone);
    evaluator_.evaluate();
    ASSERT_EQ(shared().has_value(), activates) << (at - kMonday).count() << " " << zone;
    if (!activates) continue;
    ids.insert(shared()->sessionId);
    EXPECT_EQ(shared()->sessionId.bytes[6] >> 4, 4);  // version 4: random
  }
  EXPECT_EQ(ids.size(), 2u);
}

// Passed over: disabled, mode gone, other hours. The first in the file wins, schedule or mode.
TEST_F(EvaluatorTest, TheFirstEnabledScheduleCoveringNowWithAnExistingModeWins) {
  const Mode winner = makeMode(ModeType::mission, {"first"}, {"org.example.Editor"});
  Mode shadow = winner;
  shadow.sites = {"shadow"};
  const Mode other = makeMode(ModeType::block, {"other"});
  FocusSchedule orphan = makeSchedule("Orphan", other, 540, 720);
  orphan.modeId = Uuid::random();
  write({makeSchedule("Off", other, 540, 720, false), orphan,
         makeSchedule("Evening", other, 1080, 1200), makeSchedule("First", winner, 600, 700),
         makeSchedule("Second", other, 600, 700)},
        {winner, shadow, other});
  evaluator_.evaluate();
  const std::optional<BlockingRules> written = shared();
  ASSERT_TRUE(written);
  EXPECT_EQ(written->mode, BlockingRules::Mode::allow);
  EXPECT_EQ(written->hosts, Strings{"first"});
  EXPECT_EQ(written->allowedSigningIds, Strings{"org.example.Editor"});
  EXPECT_EQ(log_->lines(),
            (Strings{"debug: Schedule 'Orphan' not active for current time",
                     "debug: Schedule 'Evening' not active for current time",
                     "default: Schedule 'First' activated blocking until <private>"}));
}

TEST_F(EvaluatorTest, ModesAreReadOnlyForEnabledSchedulesAndTheirLossIsAnError) {
  FocusSchedule morning = makeSchedule("Morning", makeMode(ModeType::block, {}), 540, 720, false);
  write({morning}, {});
  fs::remove(container_ / "modes.json");
  evaluator_.evaluate();
  EXPECT_TRUE(log_->entries().empty());
  morning.isEnabled = true;
  support::writeFile(container_ / "schedules.json", encodeFocusSchedules({morning}));
  evaluator_.evaluate();
  EXPECT_EQ(log_->lines(), Strings{"error: Failed to load modes from store"});
  EXPECT_FALSE(shared());
}

TEST_F(EvaluatorTest, AFailedSaveIsAnErrorLaunchesNothingAndIsRetriedAtTheNextTick) {
  const Mode mode = makeMode(ModeType::block, {});
  write({makeSchedule("Morning", mode, 540, 720)}, {mode});
  fs::create_directories(rulesFile_);  // a folder where the file belongs
  ASSERT_TRUE(evaluator_.start().ok());
  // An error: at a lower level the journal would not keep why no session started.
  ASSERT_FALSE(log_->lines().empty());
  EXPECT_TRUE(log_->lines().back().starts_with("error: Failed to write blocking rules: "));
  EXPECT_FALSE(log_->lines().back().ends_with("<private>"));  // the reason is public
  EXPECT_TRUE(launches_.empty());
  fs::remove(rulesFile_);
  loop_.advance(seconds(15));
  EXPECT_EQ(launches_, std::vector<bool>{true});
}

}  // namespace
}  // namespace varn
