#pragma once

#include <unordered_map>
#include <vector>

#include "platform/calendar.h"
#include "platform/clock.h"
#include "schedule/schedule_window.h"
#include "shared/focus_schedule.h"
#include "shared/mode.h"

namespace varn {

// What an evaluation pass picks once no session is active: the first enabled schedule, in file
// order, whose window today covers `now` and whose modeId names a mode of `modes` (the first
// mode of that id). Pure: it reads nothing and logs nothing. Pointers are into the arguments.
struct ScheduleChoice {
  const FocusSchedule* schedule = nullptr;  // nullptr: no schedule starts a session
  const Mode* mode = nullptr;
  ScheduledWindow window{};
  // The first enabled schedule before the choice (or at all, without one) whose window covers
  // now but whose mode is missing; nullptr when there is none.
  const FocusSchedule* withoutMode = nullptr;
};

// The modes by id, the first of an id in file order winning, as a pass takes them.
using ModesById = std::unordered_map<platform::Uuid, const Mode*>;
ModesById indexModes(const std::vector<Mode>& modes);

ScheduleChoice chooseSchedule(const std::vector<FocusSchedule>& schedules,
                              const std::vector<Mode>& modes, platform::Instant now,
                              const platform::Calendar& calendar);

}  // namespace varn
