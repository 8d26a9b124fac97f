#include "schedule/schedule_window.h"

#include <algorithm>

namespace varn {

std::optional<Weekday> weekdayOf(platform::Instant instant, const platform::Calendar& calendar) {
  return weekdayFromRawValue(calendar.weekday(instant));
}

std::optional<ScheduledWindow> scheduledWindow(const FocusSchedule& schedule,
                                               platform::Instant date,
                                               const platform::Calendar& calendar) {
  // Only the minutes decide these, before any calendar work.
  if (schedule.startMinutes < 0 || schedule.startMinutes >= schedule.endMinutes) {
    return std::nullopt;
  }
  const std::optional<Weekday> weekday = weekdayOf(date, calendar);
  if (!weekday ||
      std::find(schedule.days.begin(), schedule.days.end(), *weekday) == schedule.days.end()) {
    return std::nullopt;
  }
  const std::optional<platform::Instant> dayStart = calendar.startOfDay(date);
  if (!dayStart) return std::nullopt;
  const std::optional<platform::Instant> start =
      calendar.addingMinutes(*dayStart, schedule.startMinutes);
  const std::optional<platform::Instant> end =
      calendar.addingMinutes(*dayStart, schedule.endMinutes);
  if (!start || !end) return std::nullopt;
  return ScheduledWindow{*start, *end};
}

}  // namespace varn
