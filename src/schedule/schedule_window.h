#pragma once

#include <optional>

#include "platform/calendar.h"
#include "platform/clock.h"
#include "shared/focus_schedule.h"
#include "shared/weekday.h"

namespace varn {

// A schedule's window on one day: active for start <= now < end. start is always before end.
struct ScheduledWindow {
  platform::Instant start;
  platform::Instant end;

  friend bool operator==(const ScheduledWindow&, const ScheduledWindow&) = default;
};

// Whether `window` is there and holds `now`: start <= now < end.
inline bool covers(const std::optional<ScheduledWindow>& window, platform::Instant now) {
  return window && window->start <= now && now < window->end;
}

// The weekday of `instant` in `calendar`; nothing when the calendar gives a number outside 1 to 7.
std::optional<Weekday> weekdayOf(platform::Instant instant, const platform::Calendar& calendar);

// The window of `schedule` on the calendar day that contains `date`: from the start of that day
// plus startMinutes to the start of that day plus endMinutes, counted as elapsed time (on a day
// the clocks change, the wall-clock times after the change differ from the stored minutes).
// The weekday of `date` decides; the minutes may reach into following days. Nothing when
// startMinutes is negative, when it is not below endMinutes (so an overnight window such as
// 1320 to 360 never yields one), when `days` lacks the weekday, or when an end lies beyond what
// an Instant can hold. Ignores isEnabled, the breaks, the name and the mode. Pure: it logs
// nothing; the calendar is asked afresh for the weekday and again for the start of the day.
std::optional<ScheduledWindow> scheduledWindow(const FocusSchedule& schedule,
                                               platform::Instant date,
                                               const platform::Calendar& calendar);

}  // namespace varn
