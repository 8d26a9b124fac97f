#include "schedule/helper_schedule_evaluator.h"

#include <gtest/gtest.h>
#include <sys/file.h>

#include <filesystem>

#include "platform/files.h"
#include "platform/testing/fake_clock.h"
#include "platform/testing/fake_run_loop.h"
#include "platform/testing/memory_log_sink.h"
#include "platform/testing/zone_calendar.h"
#include "support/lock_holding_child.h"
#include "support/temp_dir.h"

namespace varn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using platform::Instant;
using platform::LogLevel;
using platform::Uuid;

constexpr const char* kSkipping = "Blocking already active, skipping evaluation";
constexpr const char* kNotActive = "Schedule '%{public}s' not active for current time";
constexpr const char* kActivated = "Schedule '%{public}s' activated blocking until %s";
constexpr const char* kNoModes = "Failed to load modes from store";
constexpr const char* kWriteFailed = "Failed to write blocking rules: %{public}s";

// Monday 2 March 2026, in a calendar on UTC.
const Instant kMonday(sys_days(year(2026) / 3 / 2));

Mode makeMode(ModeType type, std::vector<std::string> sites, std::vector<std::string> apps = {}) {
  return Mode{Uuid::random(),   "Deep work",     "brain", type,
              std::move(sites), std::move(apps), false,   std::nullopt};
}

FocusSchedule makeSchedule(std::string name, const Mode& mode, int64_t start, int64_t end,
                           bool enabled = true) {
  return FocusSchedule{
      Uuid::random(), std::move(name), mode.id, {Weekday::monday}, start, end, 0, 300, enabled};
}

class EvaluatorTest : public ::testing::Test {
 protected:
  void write(const std::vector<FocusSchedule>& schedules, const std::vector<Mode>& modes) {
    fs::create_directories(container_);
    support::writeFile(container_ / "schedules.json", encodeFocusSchedules(schedules));
    support::writeFile(container_ / "modes.json", encodeModes(modes));
  }
  std::optional<BlockingRules> shared() const {
    Result<std::string> bytes = platform::readWholeFile(locations_.sharedRulesFile, 1 << 20);
    if (!bytes.ok()) return std::nullopt;
    Result<BlockingRules> rules = decodeBlockingRules(bytes.value());
    return rules.ok() ? std::optional(rules.value()) : std::nullopt;
  }
  std::vector<std::string> messages(const char* format) const {
    std::vector<std::string> out;
    for (const auto& e : log_->withFormat(format)) out.push_back(e.message());
    return out;
  }

  support::TempDir dir_;
  fs::path container_ = dir_ / "container";
  StoreLocations locations_ = StoreLocations::at(dir_ / "Shared", container_);
  platform::testing::FakeClock clock_{kMonday + hours(10) + minutes(30)};
  platform::testing::FakeRunLoop loop_{&clock_};
  std::unique_ptr<platform::Calendar> calendar_ = platform::calendarForZone("UTC");
  BlockingRuleStore rules_{locations_, clock_};
  ScheduleStore schedules_{locations_};
  ModeStore modes_{locations_};
  int launches_ = 0;
  platform::testing::ScopedMemoryLog log_;
  HelperScheduleEvaluator evaluator_{
      {loop_, rules_, schedules_, modes_, clock_, *calendar_, [this] { ++launches_; }}};
};

TEST_F(EvaluatorTest, StartWritesTheSessionAtOnceAndThenEvaluatesEveryFifteenSeconds) {
  const Mode mode = makeMode(ModeType::block, {"example.com", "example.com", " "});
  write({makeSchedule("Morning", mode, 540, 720)}, {mode});
  evaluator_.start();
  std::optional<BlockingRules> written = shared();
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(written->mode, BlockingRules::Mode::block);
  EXPECT_EQ(written->hosts, (std::vector<std::string>{"example.com", "example.com", " "}));
  EXPECT_TRUE(written->allowedSigningIds.empty());
  EXPECT_EQ(written->endsAt, kMonday + hours(12));
  EXPECT_EQ(launches_, 1);
  const auto activated = log_->withFormat(kActivated);
  ASSERT_EQ(activated.size(), 1u);
  EXPECT_EQ(activated[0].level, LogLevel::kDefault);
  EXPECT_EQ(activated[0].message(),
            "Schedule 'Morning' activated blocking until 2026-03-02 12:00:00 +0000");
  EXPECT_EQ(activated[0].redactedMessage(),
            "Schedule 'Morning' activated blocking until <private>");

  evaluator_.start();  // a second start neither evaluates nor adds a timer
  EXPECT_EQ(loop_.timerCount(), 1u);
  EXPECT_EQ(log_->count(kSkipping), 0u);
  loop_.advance(seconds(45));
  EXPECT_EQ(log_->count(kSkipping), 3u);
  EXPECT_EQ(launches_, 1);
}

TEST_F(EvaluatorTest, AnActiveSessionHoldsBackEverySchedulesUntilItsEndHasPassed) {
  const Mode mode = makeMode(ModeType::block, {"example.com"});
  write({makeSchedule("Morning", mode, 540, 720)}, {mode});
  const BlockingRules other{Uuid::random(), BlockingRules::Mode::allow, {}, clock_.now(), {}};
  ASSERT_TRUE(rules_.save(other).ok());

  evaluator_.evaluate();  // exactly at endsAt: still active
  EXPECT_EQ(log_->count(kSkipping), 1u);
  EXPECT_EQ(shared()->sessionId, other.sessionId);

  clock_.advance(milliseconds(1));  // expired: the schedule replaces it
  evaluator_.evaluate();
  EXPECT_NE(shared()->sessionId, other.sessionId);
  EXPECT_EQ(launches_, 1);
}

TEST_F(EvaluatorTest, TheWindowIsHalfOpen) {
  const Mode mode = makeMode(ModeType::block, {});
  write({makeSchedule("Morning", mode, 540, 720)}, {mode});
  const struct {
    Instant at;
    bool activates;
  } cases[] = {
      {kMonday + hours(9) - nanoseconds(1), false},
      {kMonday + hours(9), true},
      {kMonday + hours(12) - nanoseconds(1), true},
      {kMonday + hours(12), false},
  };
  for (const auto& c : cases) {
    fs::remove(locations_.sharedRulesFile);
    clock_.set(c.at);
    evaluator_.evaluate();
    EXPECT_EQ(shared().has_value(), c.activates) << (c.at - kMonday).count();
  }
}

TEST_F(EvaluatorTest, TheFirstActiveScheduleInFileOrderWinsAndLaterOnesAreNotLooked) {
  const Mode mode = makeMode(ModeType::block, {"first"});
  const Mode other = makeMode(ModeType::block, {"second"});
  write({makeSchedule("Off", mode, 540, 720, false), makeSchedule("Evening", mode, 1080, 1200),
         makeSchedule("First", mode, 600, 700), makeSchedule("Second", other, 600, 700)},
        {mode, other});
  evaluator_.evaluate();
  EXPECT_EQ(shared()->hosts, std::vector<std::string>{"first"});
  EXPECT_EQ(messages(kNotActive),
            std::vector<std::string>{"Schedule 'Evening' not active for current time"});
  EXPECT_EQ(log_->withFormat(kNotActive)[0].level, LogLevel::kDebug);
  EXPECT_EQ(messages(kActivated).size(), 1u);
}

TEST_F(EvaluatorTest, AScheduleWhoseModeIsMissingIsNotActive) {
  const Mode mode = makeMode(ModeType::block, {"a"});
  FocusSchedule orphan = makeSchedule("Orphan", mode, 540, 720);
  orphan.modeId = Uuid::random();
  write({orphan}, {mode});
  evaluator_.evaluate();
  EXPECT_FALSE(shared().has_value());
  EXPECT_EQ(messages(kNotActive),
            std::vector<std::string>{"Schedule 'Orphan' not active for current time"});
  EXPECT_EQ(launches_, 0);
}

TEST_F(EvaluatorTest, TheFirstModeOfADuplicatedIdIsTaken) {
  Mode first = makeMode(ModeType::block, {"first"});
  Mode second = first;
  second.sites = {"second"};
  write({makeSchedule("Morning", first, 540, 720)}, {first, second});
  evaluator_.evaluate();
  EXPECT_EQ(shared()->hosts, std::vector<std::string>{"first"});
}

TEST_F(EvaluatorTest, WithoutEnabledSchedulesModesAreNotEvenRead) {
  const Mode mode = makeMode(ModeType::block, {});
  write({makeSchedule("Off", mode, 540, 720, false)}, {mode});
  fs::remove(container_ / "modes.json");
  fs::create_directory(container_ / "modes.json");  // would be logged if it were read
  evaluator_.evaluate();
  EXPECT_TRUE(log_->entries().empty());
  EXPECT_FALSE(shared().has_value());
}

TEST_F(EvaluatorTest, MissingModesAreReportedOnEveryTick) {
  const Mode mode = makeMode(ModeType::block, {});
  write({makeSchedule("Morning", mode, 540, 720)}, {mode});
  fs::remove(container_ / "modes.json");
  evaluator_.start();
  loop_.advance(seconds(30));
  const auto failures = log_->withFormat(kNoModes);
  ASSERT_EQ(failures.size(), 3u);
  EXPECT_EQ(failures[0].level, LogLevel::kError);
  EXPECT_FALSE(shared().has_value());
}

TEST_F(EvaluatorTest, AMissionModeGivesAnAllowSessionWithCompanionHostsAndApps) {
  const Mode mode = makeMode(ModeType::mission, {"docs.example.com"},
                             {"com.linear", "com.apple.Safari", "org.example.Editor"});
  write({makeSchedule("Mission", mode, 540, 720)}, {mode});
  evaluator_.evaluate();
  std::optional<BlockingRules> written = shared();
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(written->mode, BlockingRules::Mode::allow);
  ASSERT_EQ(written->hosts.size(), 2u);
  EXPECT_EQ(written->hosts[0], "docs.example.com");
  EXPECT_EQ(written->allowedSigningIds,
            (std::vector<std::string>{"com.linear", "org.example.Editor"}));
}

TEST_F(EvaluatorTest, ARemovedSessionIsWrittenAgainWithANewId) {
  const Mode mode = makeMode(ModeType::block, {});
  write({makeSchedule("Morning", mode, 540, 720)}, {mode});
  evaluator_.evaluate();
  const Uuid first = shared()->sessionId;
  fs::remove(locations_.sharedRulesFile);
  evaluator_.evaluate();
  ASSERT_TRUE(shared().has_value());
  EXPECT_NE(shared()->sessionId, first);
  EXPECT_EQ(launches_, 2);
}

TEST_F(EvaluatorTest, AFailedWriteIsLoggedLaunchesNothingAndIsRetriedNextTick) {
  const Mode mode = makeMode(ModeType::block, {});
  write({makeSchedule("Morning", mode, 540, 720)}, {mode});
  fs::create_directories(locations_.sharedRulesFile);  // a folder where the file belongs
  evaluator_.start();
  ASSERT_EQ(log_->count(kWriteFailed), 1u);
  // An error: at a lower level the journal would not keep why no session started.
  EXPECT_EQ(log_->withFormat(kWriteFailed)[0].level, platform::LogLevel::kError);
  EXPECT_EQ(log_->count(kActivated), 0u);
  EXPECT_EQ(launches_, 0);

  fs::remove(locations_.sharedRulesFile);
  loop_.advance(seconds(15));
  EXPECT_TRUE(shared().has_value());
  EXPECT_EQ(launches_, 1);
}

// Another user holds the shared file's lock for ever. Ticks go on every 15 s; the tick that
// finds the schedule begun waits out the lock once, then writes the session without it.
TEST_F(EvaluatorTest, ALockHeldForEverByAnotherUserNeitherStopsTheTicksNorTheSession) {
  const Mode mode = makeMode(ModeType::block, {"example.com"});
  write({makeSchedule("Morning", mode, 631, 720)}, {mode});  // from 10:31, a minute after start
  fs::create_directories(locations_.sharedRulesFile.parent_path());
  support::LockHoldingChild holder(locations_.sharedRulesFile, LOCK_SH);
  ASSERT_TRUE(holder.held());

  evaluator_.start();
  loop_.advance(seconds(60));
  EXPECT_EQ(log_->count(kNotActive), 4u);
  ASSERT_TRUE(shared().has_value());
  EXPECT_EQ(shared()->endsAt, kMonday + hours(12));
  EXPECT_EQ(launches_, 1);
  EXPECT_EQ(
      log_->count("File coordination error during save: %s. Falling back to direct atomic write."),
      1u);

  loop_.advance(seconds(30));
  EXPECT_EQ(log_->count(kSkipping), 2u);
}

// The user's zone is looked up at every pass: a move from Tokyo (19:30, outside the window) to
// UTC (10:30, inside it) takes effect at the next tick.
TEST_F(EvaluatorTest, EachPassJudgesSchedulesInTheZoneOfItsMoment) {
  platform::testing::ScopedTimeZone tz("Asia/Tokyo");
  HelperScheduleEvaluator evaluator{{loop_, rules_, schedules_, modes_, clock_,
                                     platform::currentCalendar(), [this] { ++launches_; }}};
  const Mode mode = makeMode(ModeType::block, {"example.com"});
  write({makeSchedule("Morning", mode, 540, 720)}, {mode});
  evaluator.evaluate();
  EXPECT_EQ(messages(kNotActive),
            std::vector<std::string>{"Schedule 'Morning' not active for current time"});
  tz.set("UTC");
  evaluator.evaluate();
  ASSERT_TRUE(shared().has_value());
  EXPECT_EQ(shared()->endsAt, kMonday + hours(12));
  EXPECT_EQ(launches_, 1);
}

TEST_F(EvaluatorTest, AFiringAfterDestructionDoesNothing) {
  platform::testing::FakeRunLoop loop(&clock_);
  int launches = 0;
  {
    HelperScheduleEvaluator evaluator{
        {loop, rules_, schedules_, modes_, clock_, *calendar_, [&] { ++launches; }}};
    evaluator.start();
  }
  const Mode mode = makeMode(ModeType::block, {});
  write({makeSchedule("Morning", mode, 540, 720)}, {mode});
  loop.advance(seconds(60));
  EXPECT_EQ(launches, 0);
  EXPECT_FALSE(shared().has_value());
}

}  // namespace
}  // namespace varn
