#include "ctl/status.h"

#include <gtest/gtest.h>

#include <functional>

namespace varn::ctl {
namespace {

using namespace std::chrono;
using platform::Instant;
using platform::Uuid;
using Strings = std::vector<std::string>;

// Monday 2 March 2026, 10:30 in Berlin (UTC+1).
const Instant kNow = Instant(sys_days(year(2026) / 3 / 2)) + hours(9) + minutes(30);
const std::unique_ptr<platform::Calendar> kBerlin = platform::calendarForZone("Europe/Berlin");

const Uuid kDeepWorkId = Uuid::random();

Mode deepWork() {
  return {kDeepWorkId, "Deep work", "brain", ModeType::block, {"example.com"}, {}, false, {}};
}

// Mondays 09:00 to 12:00 in `mode`.
FocusSchedule mornings(std::string name = "Mornings", const Mode& mode = deepWork()) {
  return {Uuid::random(), std::move(name), mode.id, {Weekday::monday}, 540, 720, 0, 300, true};
}

BlockingRules session(Instant endsAt) {
  return {Uuid::random(), BlockingRules::Mode::block, {"example.com"}, endsAt, {}};
}

// All is well: a running helper, the shared folder as it should be, one schedule covering now.
StatusFacts wellFacts() {
  StatusFacts facts;
  facts.now = kNow;
  facts.zone = {"Europe/Berlin", "TZ", ""};
  facts.helper = {"active", true, 812, 0};
  facts.schedulesFile = "/d/schedules.json";
  facts.schedules = std::vector<FocusSchedule>{mornings()};
  facts.modesFile = "/d/modes.json";
  facts.modes = std::optional<std::vector<Mode>>(std::vector<Mode>{deepWork()});
  facts.mainApp = {"com.varn.macos", false, true};
  facts.sharedFolder = "/Users/Shared";
  facts.sharedFolderMode = 01777;
  return facts;
}

// Each set-up changes the facts of wellFacts(); a sentence that starts a schedule names the
// schedule the report must give as wouldStart.
TEST(StatusReport, DecidesAsTheNextPassWouldAndListsWhatIsWrong) {
  const std::string start = "start \"Mornings\" until 12:00";
  const std::tuple<std::function<void(StatusFacts&)>, std::string, Strings> cases[] = {
      {[](StatusFacts&) {}, start, {}},
      {[](StatusFacts& f) { f.session.emplace("/r.json", session(kNow + hours(2))); },
       "nothing, a session is in force until 12:30",
       {}},
      {[](StatusFacts& f) { f.session.emplace("/r.json", session(kNow - nanoseconds(1))); },
       start,
       {}},
      {[](StatusFacts& f) { f.session.emplace("/r.json", session(kNow + hours(24))); },
       "nothing, a session is in force until 2026-03-03 10:30",
       {}},
      {[](StatusFacts& f) { f.schedules = std::vector<FocusSchedule>{}; },
       "nothing, no schedule is enabled",
       {}},
      {[](StatusFacts& f) { f.modes = std::optional<std::vector<Mode>>(std::vector<Mode>{}); },
       "nothing, the mode of \"Mornings\" is missing",
       {}},
      {[](StatusFacts& f) { f.modes = std::optional<std::vector<Mode>>(); },
       "nothing, there are no modes (no /d/modes.json)",
       {}},
      {[](StatusFacts& f) { f.schedules = Error{"[0].days[0]: weekday must be 1 to 7, found 8"}; },
       "nothing, the schedules cannot be read: [0].days[0]: weekday must be 1 to 7, found 8",
       {"/d/schedules.json cannot be read: [0].days[0]: weekday must be 1 to 7, found 8"}},
      {[](StatusFacts& f) {
         f.unreadableRules.emplace_back("/Users/Shared/r.json", Error{"hosts: expected an array"});
         f.modes = Error{"[0]: id is missing"};
       },
       "nothing, the modes cannot be read: [0]: id is missing",
       {"/Users/Shared/r.json cannot be read: hosts: expected an array",
        "/d/modes.json cannot be read: [0]: id is missing"}},
      {[](StatusFacts& f) {
         f.sharedFolderMode.reset();
         f.zone = {std::nullopt, "none", "TZ is not set"};
         f.helper = {"inactive", false, std::nullopt, std::nullopt};  // not installed: no problem
       },
       start,
       {"/Users/Shared is missing", "no time zone found, using UTC: TZ is not set"}},
      {[](StatusFacts& f) {
         f.sharedFolderMode = 0755;
         f.heldLocks.push_back({"/Users/Shared/r.json.lock", {4242, "sleep", true}});
         f.helper = {"failed", true, std::nullopt, 3};
         f.journalErrors.push_back({kNow - minutes(5), "Failed to write blocking rules: full"});
       },
       start,
       {"/Users/Shared has mode 0755, not 1777",
        "/Users/Shared/r.json.lock is locked (exclusive) by process 4242 (sleep)",
        "the helper's unit is installed but failed",
        "the helper logged an error at 2026-03-02T10:25:00+01:00: Failed to write blocking "
        "rules: full"}},
  };
  for (const auto& [setUp, sentence, problems] : cases) {
    StatusFacts facts = wellFacts();
    setUp(facts);
    const StatusReport report = assessStatus(facts, *kBerlin);
    const std::optional<std::string> named =
        sentence.starts_with("start") ? std::optional<std::string>("Mornings") : std::nullopt;
    EXPECT_EQ(report.wouldStart, named) << sentence;
    EXPECT_EQ(report.why, sentence);
    EXPECT_EQ(report.problems, problems) << sentence;
  }
}

TEST(StatusReport, ShowsOneLinePerFactForAPerson) {
  StatusFacts facts = wellFacts();
  facts.now = kNow + hours(2);  // 12:30: the session below is over, the window too
  facts.session.emplace("/Users/Shared/r.json", session(kNow + hours(1)));
  FocusSchedule weekend = mornings("Weekend");
  weekend.days = {Weekday::saturday, Weekday::sunday};
  weekend.isEnabled = false;
  Mode other = deepWork();
  other.id = Uuid::random();
  facts.schedules = std::vector<FocusSchedule>{mornings(), weekend, mornings("Orphan", other)};
  facts.mainApp = {"com.varn.macos", std::nullopt, std::nullopt};
  facts.heldLocks.push_back({"/Users/Shared/r.json.lock", {0, "", false}});
  const std::string text = renderText(facts, assessStatus(facts, *kBerlin), *kBerlin);
  EXPECT_EQ(text,
            "Now:        2026-03-02T12:30:00+01:00\n"
            "Zone:       Europe/Berlin (from TZ)\n"
            "Helper:     active, pid 812, 0 restarts\n"
            "Session:    ended 2026-03-02T11:30:00+01:00: blocking is off (block, 1 hosts, 0 "
            "allowed apps, /Users/Shared/r.json)\n"
            "Schedule:   \"Mornings\": enabled, mode \"Deep work\", today 09:00-12:00, next "
            "2026-03-09 09:00-12:00\n"
            "Schedule:   \"Weekend\": disabled, mode \"Deep work\", not today, next 2026-03-07 "
            "09:00-12:00\n"
            "Schedule:   \"Orphan\": enabled, its mode is missing, today 09:00-12:00, next "
            "2026-03-09 09:00-12:00\n"
            "Next pass:  nothing, no enabled schedule covers now\n"
            "Main app:   com.varn.macos: unknown, no session bus answers\n"
            "Problem:    /Users/Shared/r.json.lock is locked (shared) by process 0\n");
}

}  // namespace
}  // namespace varn::ctl
