#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/calendar.h"
#include "platform/clock.h"
#include "platform/journal_errors.h"
#include "platform/lock_holders.h"
#include "platform/result.h"
#include "schedule/schedule_window.h"
#include "shared/blocking_rules.h"
#include "shared/focus_schedule.h"
#include "shared/mode.h"

namespace varn::ctl {

// Everything `varnctl status` looks at, as read from the system (status_facts.h gathers it);
// plain data, so that what it makes of them can be tested without the system.
struct StatusFacts {
  platform::Instant now;

  struct Zone {
    std::optional<std::string> name;  // nothing for "none"
    std::string source = "none";      // "TZ", "/etc/localtime", "/etc/timezone" or "none"
    std::string whyNone;              // for "none": what each source lacked
  } zone;

  struct Helper {
    std::string state = "unknown";  // the unit's ActiveState; "unknown" without a manager
    bool installed = false;         // the manager has the unit (LoadState "loaded")
    std::optional<std::uint32_t> pid;
    std::optional<std::uint32_t> restarts;
  } helper;

  // The record the helper's load would take, with its file; rules files before it that are
  // there but cannot be read or decoded.
  std::optional<std::pair<std::filesystem::path, BlockingRules>> session;
  std::vector<std::pair<std::filesystem::path, Error>> unreadableRules;

  std::filesystem::path schedulesFile;  // empty without an app group folder
  Result<std::vector<FocusSchedule>> schedules = std::vector<FocusSchedule>{};
  std::filesystem::path modesFile;
  Result<std::optional<std::vector<Mode>>> modes = std::optional<std::vector<Mode>>{};

  struct MainApp {
    std::optional<std::string> id;  // the resolved bus name
    std::optional<bool> running;    // nothing when no session bus answers
    std::optional<bool> installed;
  } mainApp;

  std::filesystem::path sharedFolder;
  std::optional<mode_t> sharedFolderMode;  // its permission bits; nothing when it is missing

  struct HeldLock {
    std::filesystem::path lockFile;
    platform::LockHolder holder;
  };
  std::vector<HeldLock> heldLocks;

  // The helper's error entries since its last start.
  std::vector<platform::JournalEntry> journalErrors;
};

// One schedule as the evaluator sees it now.
struct ScheduleStatus {
  const FocusSchedule* schedule = nullptr;  // into the facts
  std::optional<std::string> modeName;      // nothing when its mode is missing
  std::optional<ScheduledWindow> today;     // the window the evaluator uses today
  bool coversNow = false;
  std::optional<ScheduledWindow> next;  // the first that starts after now, within 8 days
};

// What `varnctl status` makes of the facts.
struct StatusReport {
  std::vector<ScheduleStatus> schedules;  // in file order
  std::optional<std::string> wouldStart;  // the schedule the next pass would start
  std::string why;                        // one sentence: what the next pass would do
  std::vector<std::string> problems;      // empty when all is well
};

// Decides, as the helper's next pass would, with the helper's own rules; `calendar` is fixed on
// the user's zone. Pure: reads nothing but its arguments. The report points into `facts`.
StatusReport assessStatus(const StatusFacts& facts, const platform::Calendar& calendar);

// `at` in local time as RFC 3339: "2026-03-02T10:30:00+01:00".
std::string localTime(platform::Instant at, const platform::Calendar& calendar);
// `at` for a sentence: "12:00" on the local day of `now`, else "2026-03-03 12:00".
std::string shortTime(platform::Instant at, platform::Instant now,
                      const platform::Calendar& calendar);

// The report for a person: one short line per fact, in the order of the JSON form.
std::string renderText(const StatusFacts& facts, const StatusReport& report,
                       const platform::Calendar& calendar);
// The report as one JSON object (docs/protocol.md), with a final line break.
std::string renderJson(const StatusFacts& facts, const StatusReport& report,
                       const platform::Calendar& calendar);

}  // namespace varn::ctl
