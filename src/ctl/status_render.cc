#include <nlohmann/json.hpp>

#include "ctl/status.h"
#include "shared/date_time.h"

namespace varn::ctl {
namespace {

using Json = nlohmann::ordered_json;

// "09:00-12:00" on the local day of `now`; a start on another day adds its date, and so does an
// end on another day than the start.
std::string span(const ScheduledWindow& window, platform::Instant now,
                 const platform::Calendar& calendar) {
  return shortTime(window.start, now, calendar) + "-" +
         shortTime(window.end, window.start, calendar);
}

Json window(const std::optional<ScheduledWindow>& window, const platform::Calendar& calendar) {
  if (!window) return nullptr;
  return {{"start", localTime(window->start, calendar)}, {"end", localTime(window->end, calendar)}};
}

template <typename T>
Json orNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

std::string helperLine(const StatusFacts::Helper& helper) {
  std::string line = helper.state;
  if (helper.pid) line += ", pid " + std::to_string(*helper.pid);
  if (helper.restarts) line += ", " + std::to_string(*helper.restarts) + " restarts";
  return line;
}

std::string sessionLine(const StatusFacts& facts, const platform::Calendar& calendar) {
  if (!facts.session) return "none: blocking is off";
  const auto& [file, rules] = *facts.session;
  const std::string what =
      std::string(rawValue(rules.mode)) + ", " + std::to_string(rules.hosts.size()) + " hosts, " +
      std::to_string(rules.allowedSigningIds.size()) + " allowed apps, " + file.native();
  if (!rules.isActive(facts.now)) {
    return "ended " + localTime(rules.endsAt, calendar) + ": blocking is off (" + what + ")";
  }
  return "blocking is on until " + shortTime(rules.endsAt, facts.now, calendar) + " (" + what + ")";
}

std::string scheduleLine(const ScheduleStatus& status, platform::Instant now,
                         const platform::Calendar& calendar) {
  const FocusSchedule& schedule = *status.schedule;
  std::string line = "\"" + schedule.name + "\": " + (schedule.isEnabled ? "enabled" : "disabled");
  line += status.modeName ? ", mode \"" + *status.modeName + "\"" : ", its mode is missing";
  line += status.today ? ", today " + span(*status.today, now, calendar) : ", not today";
  if (status.coversNow) line += ", covers now";
  line += status.next ? ", next " + span(*status.next, now, calendar) : ", none in 8 days";
  return line;
}

std::string mainAppLine(const StatusFacts::MainApp& app) {
  const std::string id = app.id.value_or("(no bundle identifier)");
  if (!app.running) return id + ": unknown, no session bus answers";
  return id + ": " + (*app.running ? "running" : "not running") + ", " +
         (app.installed.value_or(false) ? "installed" : "not installed");
}

}  // namespace

std::string renderText(const StatusFacts& facts, const StatusReport& report,
                       const platform::Calendar& calendar) {
  std::string text;
  const auto line = [&](std::string_view label, const std::string& value) {
    text.append(label).append(value).append("\n");
  };
  line("Now:        ", localTime(facts.now, calendar));
  line("Zone:       ", facts.zone.name ? *facts.zone.name + " (from " + facts.zone.source + ")"
                                       : "UTC (none found)");
  line("Helper:     ", helperLine(facts.helper));
  line("Session:    ", sessionLine(facts, calendar));
  if (!facts.schedules.ok()) {
    line("Schedules:  ", "cannot be read");
  } else if (report.schedules.empty()) {
    line("Schedules:  ", "none");
  }
  for (const ScheduleStatus& status : report.schedules) {
    line("Schedule:   ", scheduleLine(status, facts.now, calendar));
  }
  line("Next pass:  ", report.why);
  line("Main app:   ", mainAppLine(facts.mainApp));
  if (report.problems.empty()) line("Problems:   ", "none");
  for (const std::string& problem : report.problems) line("Problem:    ", problem);
  return text;
}

std::string renderJson(const StatusFacts& facts, const StatusReport& report,
                       const platform::Calendar& calendar) {
  Json json;
  json["now"] = localTime(facts.now, calendar);
  json["zone"] = {{"name", orNull(facts.zone.name)}, {"source", facts.zone.source}};
  json["helper"] = {{"state", facts.helper.state},
                    {"pid", orNull(facts.helper.pid)},
                    {"restarts", orNull(facts.helper.restarts)}};
  json["session"] = nullptr;
  if (facts.session) {
    const auto& [file, rules] = *facts.session;
    json["session"] = {{"file", file.native()},
                       {"active", rules.isActive(facts.now)},
                       {"endsAt", formatInternetDateTime(rules.endsAt)},
                       {"mode", rawValue(rules.mode)},
                       {"hosts", rules.hosts.size()},
                       {"allowedSigningIds", rules.allowedSigningIds.size()},
                       {"sessionId", rules.sessionId.toString()}};
  }
  json["schedules"] = Json::array();
  for (const ScheduleStatus& status : report.schedules) {
    json["schedules"].push_back({{"id", status.schedule->id.toString()},
                                 {"name", status.schedule->name},
                                 {"enabled", status.schedule->isEnabled},
                                 {"mode", orNull(status.modeName)},
                                 {"today", window(status.today, calendar)},
                                 {"coversNow", status.coversNow},
                                 {"next", window(status.next, calendar)}});
  }
  json["evaluation"] = {{"wouldStart", orNull(report.wouldStart)}, {"why", report.why}};
  json["mainApp"] = {{"id", orNull(facts.mainApp.id)},
                     {"running", orNull(facts.mainApp.running)},
                     {"installed", orNull(facts.mainApp.installed)}};
  json["problems"] = report.problems;
  // Names and messages come from files anyone may write: invalid UTF-8 is replaced, not thrown.
  return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace varn::ctl
