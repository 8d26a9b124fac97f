#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

namespace varn {

// A day of the week, numbered as the calendar numbers weekdays (1 = Sunday through
// 7 = Saturday), so a calendar weekday converts directly. Ordered by that number, Sunday first.
// In JSON a weekday is its number as a bare integer.
enum class Weekday : int { sunday = 1, monday, tuesday, wednesday, thursday, friday, saturday };

inline constexpr std::array<Weekday, 7> kAllWeekdays = {
    Weekday::sunday,   Weekday::monday, Weekday::tuesday,  Weekday::wednesday,
    Weekday::thursday, Weekday::friday, Weekday::saturday,
};

// The day numbered `raw`; nothing for every number outside 1 to 7.
constexpr std::optional<Weekday> weekdayFromRawValue(std::int64_t raw) {
  if (raw < 1 || raw > 7) return std::nullopt;
  return static_cast<Weekday>(raw);
}

constexpr int rawValue(Weekday day) { return static_cast<int>(day); }

}  // namespace varn

template <>
struct std::hash<varn::Weekday> {
  size_t operator()(varn::Weekday day) const noexcept {
    return std::hash<int>()(varn::rawValue(day));
  }
};
