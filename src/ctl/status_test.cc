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

Mode deepWork() {
  return {*Uuid::parse("6F1E2B1C-3A4D-4E5F-8A9B-0C1D2E3F4A5B"),
          "Deep work",
          "brain",
          ModeType::block,
          {"example.com"},
          {},
          false,
          std::nullopt};
}

// Mondays 09:00 to 12:00 in `mode`.
FocusSchedule mornings(std::string name = "Mornings", const Mode& mode = deepWork()) {
  return {*Uuid::parse("0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D"),
          std::move(name),
          mode.id,
          {Weekday::monday},
          540,
          720,
          0,
          300,
          true};
}

BlockingRules session(Instant endsAt) {
  return {*Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"),
          BlockingRules::Mode::block,
          {"example.com"},
          endsAt,
          {}};
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

TEST(StatusReport, DecidesAsTheNextPassWouldAndListsWhatIsWrong) {
  const struct {
    const char* why;
    std::function<void(StatusFacts&)> setUp;
    std::optional<std::string> wouldStart;
    std::string sentence;
    Strings problems;
  } cases[] = {
      {"a schedule covers now",
       [](StatusFacts&) {},
       "Mornings",
       "start \"Mornings\" until 12:00",
       {}},
      {"a session in force holds the pass back",
       [](StatusFacts& f) { f.session.emplace("/Users/Shared/r.json", session(kNow + hours(2))); },
       std::nullopt,
       "nothing, a session is in force until 12:30",
       {}},
      {"a session just past its end holds nothing back",
       [](StatusFacts& f) { f.session.emplace("/r.json", session(kNow - nanoseconds(1))); },
       "Mornings",
       "start \"Mornings\" until 12:00",
       {}},
      {"a session ending another day names the day",
       [](StatusFacts& f) { f.session.emplace("/r.json", session(kNow + hours(24))); },
       std::nullopt,
       "nothing, a session is in force until 2026-03-03 10:30",
       {}},
      {"a disabled schedule starts nothing",
       [](StatusFacts& f) {
         std::vector<FocusSchedule> schedules = f.schedules.value();
         schedules[0].isEnabled = false;
         f.schedules = schedules;
       },
       std::nullopt,
       "nothing, no schedule is enabled",
       {}},
      {"the covering schedule's mode is missing",
       [](StatusFacts& f) { f.modes = std::optional<std::vector<Mode>>(std::vector<Mode>{}); },
       std::nullopt,
       "nothing, the mode of \"Mornings\" is missing",
       {}},
      {"without a modes file nothing starts",
       [](StatusFacts& f) { f.modes = std::optional<std::vector<Mode>>(); },
       std::nullopt,
       "nothing, there are no modes (no /d/modes.json)",
       {}},
      {"schedules that cannot be decoded",
       [](StatusFacts& f) { f.schedules = Error{"[0].days[0]: weekday must be 1 to 7, found 8"}; },
       std::nullopt,
       "nothing, the schedules cannot be read: [0].days[0]: weekday must be 1 to 7, found 8",
       {"/d/schedules.json cannot be read: [0].days[0]: weekday must be 1 to 7, found 8"}},
      {"an unreadable rules file and unreadable modes",
       [](StatusFacts& f) {
         f.unreadableRules.emplace_back("/Users/Shared/r.json", Error{"hosts: expected an array"});
         f.modes = Error{"[0]: id is missing"};
       },
       std::nullopt,
       "nothing, the modes cannot be read: [0]: id is missing",
       {"/Users/Shared/r.json cannot be read: hosts: expected an array",
        "/d/modes.json cannot be read: [0]: id is missing"}},
      {"no shared folder and no zone",
       [](StatusFacts& f) {
         f.sharedFolderMode.reset();
         f.zone = {std::nullopt, "none", "TZ is not set"};
       },
       "Mornings",
       "start \"Mornings\" until 12:00",
       {"/Users/Shared is missing", "no time zone found, using UTC: TZ is not set"}},
      {"a narrow shared folder, a held lock, a failed helper and its errors",
       [](StatusFacts& f) {
         f.sharedFolderMode = 0755;
         f.heldLocks.push_back({"/Users/Shared/r.json.lock", {4242, "sleep", true}});
         f.helper = {"failed", true, std::nullopt, 3};
         f.journalErrors.push_back({kNow - minutes(5), "Failed to write blocking rules: full"});
       },
       "Mornings",
       "start \"Mornings\" until 12:00",
       {"/Users/Shared has mode 0755, not 1777",
        "/Users/Shared/r.json.lock is locked (exclusive) by process 4242 (sleep)",
        "the helper's unit is installed but failed",
        "the helper logged an error at 2026-03-02T10:25:00+01:00: Failed to write blocking "
        "rules: full"}},
      {"a helper that is not installed is no problem",
       [](StatusFacts& f) {
         f.helper = {"inactive", false, std::nullopt, std::nullopt};
       },
       "Mornings",
       "start \"Mornings\" until 12:00",
       {}},
  };
  for (const auto& c : cases) {
    StatusFacts facts = wellFacts();
    c.setUp(facts);
    const StatusReport report = assessStatus(facts, *kBerlin);
    EXPECT_EQ(report.wouldStart, c.wouldStart) << c.why;
    EXPECT_EQ(report.why, c.sentence) << c.why;
    EXPECT_EQ(report.problems, c.problems) << c.why;
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
