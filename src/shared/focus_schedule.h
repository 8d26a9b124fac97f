#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "platform/uuid.h"
#include "shared/weekday.h"

namespace varn {

// The break length a schedule gets when its file gives none, or none above zero.
inline constexpr std::int64_t kDefaultBreakDurationSeconds = 300;

// A recurring weekly focus window as the main application stores it in schedules.json: on each
// of `days`, from `startMinutes` to `endMinutes` after the start of the day, the mode `modeId`
// is enforced. No range is enforced on the minutes or on breakCount (schedule/schedule_window.h
// gives their meaning); ids are not checked for uniqueness or for naming an existing mode.
struct FocusSchedule {
  platform::Uuid id;
  std::string name;
  platform::Uuid modeId;
  std::vector<Weekday> days;  // in file order; may be empty or hold duplicates
  std::int64_t startMinutes = 0;
  std::int64_t endMinutes = 0;
  std::int64_t breakCount = 0;
  std::int64_t breakDurationSeconds = kDefaultBreakDurationSeconds;  // at least 1 once read
  bool isEnabled = false;
};

// All nine fields equal; names compare by canonical equivalence (NFC), as the main
// application's strings do.
bool operator==(const FocusSchedule& a, const FocusSchedule& b);

// Reads the content of schedules.json: one JSON array of schedule objects, in file order. Every
// object needs "id", "name", "modeId", "days", "startMinutes", "endMinutes", "breakCount" and
// "isEnabled"; unknown keys are ignored. Integers must be JSON integers in the signed 64-bit
// range: 10.0 and 1e3 are refused, since the main application never writes them. The break
// length is "breakDurationSeconds" when present and not null, else "breakDurationMinutes"
// times 60, else 300; a result of zero or less becomes 300, and minutes whose product with 60
// does not fit 64 bits make the file unreadable. One faulty object fails the whole file; the
// error names the first fault, keys taken in the order above (breakDurationSeconds and
// breakDurationMinutes before isEnabled), with its position: "[2].days[0]: weekday must be 1
// to 7, found 8".
Result<std::vector<FocusSchedule>> decodeFocusSchedules(std::string_view bytes);

// Writes schedules.json: compact JSON, each object with the nine keys in field order, UUIDs in
// upper case, days as their numbers; never "breakDurationMinutes". Cannot fail.
std::string encodeFocusSchedules(const std::vector<FocusSchedule>& schedules);

}  // namespace varn
