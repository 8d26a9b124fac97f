#include "schedule/schedule_window.h"

#include <gtest/gtest.h>

#include <limits>

namespace varn {
namespace {

using namespace std::chrono_literals;
using platform::Instant;
using W = Weekday;

const Instant kMonday{std::chrono::sys_days(std::chrono::year(2026) / 3 / 2)};

FocusSchedule schedule(std::int64_t start, std::int64_t end, std::vector<Weekday> days) {
  return FocusSchedule{{}, "", {}, std::move(days), start, end, 0, 300, true};
}

Instant utc(int month, int day, std::chrono::hours hour) {
  return Instant{std::chrono::sys_days(std::chrono::year(2026) / month / day) + hour};
}

// In UTC but on clock-change days, whose windows count elapsed minutes from the day's first
// instant.
TEST(ScheduledWindow, IsTheWindowOfAListedDayAndNothingForAnEmptyOrUnlistedOne) {
  const std::optional<ScheduledWindow> none;
  const ScheduledWindow monday9To12{kMonday + 9h, kMonday + 12h};
  const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
  const struct {
    const char* why;
    FocusSchedule schedule;
    Instant date;
    std::optional<ScheduledWindow> expected;
    const char* zone = "UTC";
  } cases[] = {
      {"Monday, before the window", schedule(540, 720, {W::sunday, W::monday}), kMonday + 1h,
       monday9To12},
      {"Tuesday is not listed", schedule(540, 720, {W::monday}), kMonday + 34h, none},
      {"no day listed", schedule(540, 720, {}), kMonday + 10h, none},
      {"into Tuesday", schedule(1320, 1800, {W::monday}), kMonday + 23h,
       ScheduledWindow{kMonday + 22h, kMonday + 30h}},
      {"start equals end", schedule(600, 600, {W::monday}), kMonday + 10h, none},
      {"end before start", schedule(1320, 360, {W::monday}), kMonday + 23h, none},
      {"negative start", schedule(-1, 720, {W::monday}), kMonday + 10h, none},
      {"end beyond an Instant", schedule(0, huge, {W::monday}), kMonday + 10h, none},
      // Havana's clocks go back from 01:00 to 00:00 on 1 November: midnight at 04:00 and 05:00.
      {"the earlier of two midnights", schedule(0, 120, {W::sunday}), utc(11, 1, 17h),
       ScheduledWindow{utc(11, 1, 4h), utc(11, 1, 6h)}, "America/Havana"},
      // Berlin skips 02:00 to 03:00 on 29 March and repeats 02:00 to 03:00 on 25 October.
      {"elapsed minutes over a skipped hour", schedule(60, 240, {W::sunday}), utc(3, 29, 10h),
       ScheduledWindow{utc(3, 29, 0h), utc(3, 29, 3h)}, "Europe/Berlin"},
      {"elapsed minutes over a repeated hour", schedule(120, 240, {W::sunday}), utc(10, 25, 10h),
       ScheduledWindow{utc(10, 25, 0h), utc(10, 25, 2h)}, "Europe/Berlin"},
  };
  for (const auto& c : cases) {
    const std::unique_ptr<platform::Calendar> calendar = platform::calendarForZone(c.zone);
    EXPECT_EQ(scheduledWindow(c.schedule, c.date, *calendar), c.expected) << c.why;
  }
}

}  // namespace
}  // namespace varn
