#include "schedule/schedule_window.h"

#include <gtest/gtest.h>

#include <limits>

namespace varn {
namespace {

using namespace std::chrono_literals;
using platform::Instant;
using W = Weekday;

// Monday 2 March 2026, midnight UTC.
const Instant kMonday{std::chrono::sys_days(std::chrono::year(2026) / 3 / 2)};

FocusSchedule schedule(std::int64_t start, std::int64_t end, std::vector<Weekday> days) {
  return FocusSchedule{{}, "", {}, std::move(days), start, end, 0, 300, true};
}

// On UTC, so that a local day is a UTC day: zones and clock changes are the calendar's business.
TEST(ScheduledWindow, IsTheWindowOfAListedDayAndNothingForAnEmptyOrUnlistedOne) {
  const std::optional<ScheduledWindow> none;
  const ScheduledWindow monday9To12{kMonday + 9h, kMonday + 12h};
  const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
  const struct {
    const char* why;
    FocusSchedule schedule;
    Instant date;
    std::optional<ScheduledWindow> expected;
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
  };
  const std::unique_ptr<platform::Calendar> utc = platform::calendarForZone("UTC");
  for (const auto& c : cases)
    EXPECT_EQ(scheduledWindow(c.schedule, c.date, *utc), c.expected) << c.why;
}

}  // namespace
}  // namespace varn
