#include "schedule/schedule_choice.h"

namespace varn {

ModesById indexModes(const std::vector<Mode>& modes) {
  ModesById modesById;
  modesById.reserve(modes.size());
  for (const Mode& mode : modes) modesById.try_emplace(mode.id, &mode);  // keeps the first
  return modesById;
}

ScheduleChoice chooseSchedule(const std::vector<FocusSchedule>& schedules,
                              const std::vector<Mode>& modes, platform::Instant now,
                              const platform::Calendar& calendar) {
  // One lookup table per pass instead of a scan per schedule.
  const ModesById modesById = indexModes(modes);

  ScheduleChoice choice;
  for (const FocusSchedule& schedule : schedules) {
    if (!schedule.isEnabled) continue;
    const std::optional<ScheduledWindow> window = scheduledWindow(schedule, now, calendar);
    if (!covers(window, now)) continue;
    const auto mode = modesById.find(schedule.modeId);
    if (mode == modesById.end()) {
      if (!choice.withoutMode) choice.withoutMode = &schedule;
      continue;
    }
    choice.schedule = &schedule;
    choice.mode = mode->second;
    choice.window = *window;
    return choice;
  }
  return choice;
}

}  // namespace varn
