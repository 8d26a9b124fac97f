#include "ctl/status.h"

#include <algorithm>
#include <cstdio>

#include "schedule/schedule_choice.h"
#include "shared/date_time.h"

namespace varn::ctl {
namespace {

using std::chrono::hours;

// How far ahead `next` looks, from now.
constexpr hours kLookAhead{8 * 24};

// The first window of `schedule` that starts after now and no later than kLookAhead from now.
// Each day is asked through the window function itself, at midday or so: a calendar day is 23
// to 25 hours long, so 36 hours after the start of one day always falls on the next.
std::optional<ScheduledWindow> nextWindow(const FocusSchedule& schedule, platform::Instant now,
                                          const platform::Calendar& calendar) {
  std::optional<platform::Instant> day = now;
  for (int i = 0; day && i <= kLookAhead / hours(24); ++i) {
    const std::optional<ScheduledWindow> window = scheduledWindow(schedule, *day, calendar);
    if (window && window->start > now) {
      if (window->start - now > kLookAhead) return std::nullopt;
      return window;
    }
    const std::optional<platform::Instant> start = calendar.startOfDay(*day);
    day = start ? calendar.addingMinutes(*start, std::int64_t{36} * 60) : std::nullopt;
  }
  return std::nullopt;
}

std::vector<ScheduleStatus> scheduleStatuses(const StatusFacts& facts,
                                             const platform::Calendar& calendar) {
  std::vector<ScheduleStatus> statuses;
  if (!facts.schedules.ok()) return statuses;
  const std::vector<Mode> noModes;
  const std::vector<Mode>& modes =
      facts.modes.ok() && facts.modes.value() ? *facts.modes.value() : noModes;
  const ModesById modesById = indexModes(modes);
  for (const FocusSchedule& schedule : facts.schedules.value()) {
    ScheduleStatus status{&schedule, std::nullopt, scheduledWindow(schedule, facts.now, calendar),
                          false, nextWindow(schedule, facts.now, calendar)};
    status.coversNow = covers(status.today, facts.now);
    if (const auto mode = modesById.find(schedule.modeId); mode != modesById.end()) {
      status.modeName = mode->second->name;
    }
    statuses.push_back(std::move(status));
  }
  return statuses;
}

// What the next pass would do, in the evaluator's order of steps.
void decide(const StatusFacts& facts, const platform::Calendar& calendar, StatusReport& report) {
  if (facts.session && facts.session->second.isActive(facts.now)) {
    report.why = "nothing, a session is in force until " +
                 shortTime(facts.session->second.endsAt, facts.now, calendar);
    return;
  }
  if (!facts.schedules.ok()) {
    report.why = "nothing, the schedules cannot be read: " + facts.schedules.error().message;
    return;
  }
  const std::vector<FocusSchedule>& schedules = facts.schedules.value();
  if (std::none_of(schedules.begin(), schedules.end(),
                   [](const FocusSchedule& s) { return s.isEnabled; })) {
    report.why = "nothing, no schedule is enabled";
    return;
  }
  if (!facts.modes.ok()) {
    report.why = "nothing, the modes cannot be read: " + facts.modes.error().message;
    return;
  }
  if (!facts.modes.value()) {
    report.why = "nothing, there are no modes (no " + facts.modesFile.native() + ")";
    return;
  }
  const ScheduleChoice choice =
      chooseSchedule(schedules, *facts.modes.value(), facts.now, calendar);
  if (choice.schedule) {
    report.wouldStart = choice.schedule->name;
    report.why = "start \"" + choice.schedule->name + "\" until " +
                 shortTime(choice.window.end, facts.now, calendar);
  } else if (choice.withoutMode) {
    report.why = "nothing, the mode of \"" + choice.withoutMode->name + "\" is missing";
  } else {
    report.why = "nothing, no enabled schedule covers now";
  }
}

std::string octal(mode_t mode) {
  char text[8];
  (void)std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
  return text;
}

std::vector<std::string> problems(const StatusFacts& facts, const platform::Calendar& calendar) {
  std::vector<std::string> found;
  for (const auto& [file, error] : facts.unreadableRules) {
    found.push_back(file.native() + " cannot be read: " + error.message);
  }
  if (!facts.schedules.ok()) {
    found.push_back(facts.schedulesFile.native() +
                    " cannot be read: " + facts.schedules.error().message);
  }
  if (!facts.modes.ok()) {
    found.push_back(facts.modesFile.native() + " cannot be read: " + facts.modes.error().message);
  }
  if (!facts.sharedFolderMode) {
    found.push_back(facts.sharedFolder.native() + " is missing");
  } else if (*facts.sharedFolderMode != 01777) {
    found.push_back(facts.sharedFolder.native() + " has mode " + octal(*facts.sharedFolderMode) +
                    ", not 1777");
  }
  for (const StatusFacts::HeldLock& lock : facts.heldLocks) {
    found.push_back(lock.lockFile.native() + " is locked (" +
                    (lock.holder.exclusive ? "exclusive" : "shared") + ") by process " +
                    std::to_string(lock.holder.pid) +
                    (lock.holder.command.empty() ? "" : " (" + lock.holder.command + ")"));
  }
  if (!facts.zone.name) found.push_back("no time zone found, using UTC: " + facts.zone.whyNone);
  if (facts.helper.installed && facts.helper.state != "active") {
    found.push_back("the helper's unit is installed but " + facts.helper.state);
  }
  for (const platform::JournalEntry& entry : facts.journalErrors) {
    found.push_back("the helper logged an error at " + localTime(entry.time, calendar) + ": " +
                    entry.message);
  }
  return found;
}

}  // namespace

std::string localTime(platform::Instant at, const platform::Calendar& calendar) {
  return formatInternetDateTime(at, calendar.utcOffset(at));
}

std::string shortTime(platform::Instant at, platform::Instant now,
                      const platform::Calendar& calendar) {
  const std::string local = localTime(at, calendar);
  const std::string clock = local.substr(11, 5);
  return local.compare(0, 10, localTime(now, calendar), 0, 10) == 0
             ? clock
             : local.substr(0, 10) + " " + clock;
}

StatusReport assessStatus(const StatusFacts& facts, const platform::Calendar& calendar) {
  StatusReport report;
  report.schedules = scheduleStatuses(facts, calendar);
  decide(facts, calendar, report);
  report.problems = problems(facts, calendar);
  return report;
}

}  // namespace varn::ctl
