#include "schedule/schedule_window.h"

#include <gtest/gtest.h>

#include <limits>
#include <ostream>

#include "platform/testing/zone_calendar.h"
#include "shared/date_time.h"

namespace varn {

void PrintTo(const ScheduledWindow& window, std::ostream* out) {
  *out << formatInternetDateTime(window.start) << " to " << formatInternetDateTime(window.end);
}

namespace {

using namespace std::chrono_literals;
using platform::Instant;
using platform::testing::ScopedTimeZone;
using platform::testing::ZoneCalendar;
using W = Weekday;

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

Instant utc(int year, int month, int day, std::chrono::minutes time) {
  return Instant(std::chrono::sys_days(std::chrono::year(year) / month / day) + time);
}

FocusSchedule schedule(std::int64_t startMinutes, std::int64_t endMinutes,
                       std::vector<Weekday> days) {
  FocusSchedule s;
  s.startMinutes = startMinutes;
  s.endMinutes = endMinutes;
  s.days = std::move(days);
  return s;
}

struct Case {
  const char* why;
  const char* zone;
  FocusSchedule schedule;
  Instant date;
  std::optional<ScheduledWindow> expected;
};

void check(const Case& c) {
  const ZoneCalendar calendar(c.zone);
  EXPECT_EQ(scheduledWindow(c.schedule, c.date, calendar), c.expected) << c.why;
}

// Berlin, winter (UTC+1): Monday 2026-03-02, no clock change that week.
TEST(ScheduledWindow, BuildsTheWindowOfTheDayThatContainsTheDate) {
  const FocusSchedule mondayMorning = schedule(540, 720, {W::monday});
  const ScheduledWindow monday9To12{utc(2026, 3, 2, 8h), utc(2026, 3, 2, 11h)};
  FocusSchedule disabled = mondayMorning;
  disabled.isEnabled = false;
  const Case cases[] = {
      {"Monday 10:30", "Europe/Berlin", mondayMorning, utc(2026, 3, 2, 9h + 30min), monday9To12},
      {"Monday 08:00, before", "Europe/Berlin", mondayMorning, utc(2026, 3, 2, 7h), monday9To12},
      {"Monday 13:00, after", "Europe/Berlin", mondayMorning, utc(2026, 3, 2, 12h), monday9To12},
      {"Monday 00:30, still Sunday in UTC", "Europe/Berlin", mondayMorning,
       utc(2026, 3, 1, 23h + 30min), monday9To12},
      {"Tuesday", "Europe/Berlin", mondayMorning, utc(2026, 3, 3, 9h), std::nullopt},
      {"disabled schedules too", "Europe/Berlin", disabled, utc(2026, 3, 2, 9h), monday9To12},
      {"whole day", "Europe/Berlin", schedule(0, 1440, {W::monday}), utc(2026, 3, 2, 15h),
       ScheduledWindow{utc(2026, 3, 1, 23h), utc(2026, 3, 2, 23h)}},
      {"overnight, Monday 23:00", "Europe/Berlin", schedule(1320, 1800, {W::monday, W::tuesday}),
       utc(2026, 3, 2, 22h), ScheduledWindow{utc(2026, 3, 2, 21h), utc(2026, 3, 3, 5h)}},
      {"overnight, Tuesday 01:00: Tuesday's window", "Europe/Berlin",
       schedule(1320, 1800, {W::monday, W::tuesday}), utc(2026, 3, 3, 0h),
       ScheduledWindow{utc(2026, 3, 3, 21h), utc(2026, 3, 4, 5h)}},
      {"duplicate days", "Europe/Berlin", schedule(540, 720, {W::monday, W::monday}),
       utc(2026, 3, 2, 9h), monday9To12},
  };
  for (const Case& c : cases) check(c);
}

TEST(ScheduledWindow, GivesNothingForEmptyOrInvertedWindowsOnEveryDay) {
  const std::vector<Weekday> everyDay(kAllWeekdays.begin(), kAllWeekdays.end());
  const struct {
    const char* why;
    FocusSchedule schedule;
  } cases[] = {
      {"no days", schedule(540, 720, {})},
      {"start equals end", schedule(600, 600, everyDay)},
      {"end before start", schedule(1320, 360, everyDay)},
      {"negative start", schedule(-1, 720, everyDay)},
      {"negative start, huge end", schedule(-1, kInt64Max, everyDay)},
  };
  const ZoneCalendar calendar("Europe/Berlin");
  for (const auto& c : cases) {
    for (int day = 0; day < 7; ++day) {
      const Instant date = utc(2026, 3, 2, 12h) + std::chrono::days(day);
      EXPECT_EQ(scheduledWindow(c.schedule, date, calendar), std::nullopt) << c.why << " " << day;
    }
  }
}

TEST(ScheduledWindow, CountsMinutesAsElapsedTimeOnDaysTheClocksChange) {
  const Case cases[] = {
      // 02:00 EST becomes 03:00 EDT: ten hours after midnight is 11:00 on the wall.
      {"spring forward", "America/New_York", schedule(0, 600, {W::sunday}), utc(2026, 3, 8, 16h),
       ScheduledWindow{utc(2026, 3, 8, 5h), utc(2026, 3, 8, 15h)}},
      // 02:00 EDT becomes 01:00 EST: ten hours after midnight is 09:00 on the wall.
      {"fall back", "America/New_York", schedule(0, 600, {W::sunday}), utc(2026, 11, 1, 17h),
       ScheduledWindow{utc(2026, 11, 1, 4h), utc(2026, 11, 1, 14h)}},
      // Midnight is skipped: the day starts at 01:00 -03, the instant of the change.
      {"Santiago skips midnight", "America/Santiago", schedule(0, 60, {W::sunday}),
       utc(2026, 9, 6, 15h), ScheduledWindow{utc(2026, 9, 6, 4h), utc(2026, 9, 6, 5h)}},
      {"Cairo skips midnight", "Africa/Cairo", schedule(540, 720, {W::friday}),
       utc(2026, 4, 24, 9h), ScheduledWindow{utc(2026, 4, 24, 7h), utc(2026, 4, 24, 10h)}},
      // Midnight comes twice (01:00 CDT becomes 00:00 CST): the day starts at the first.
      {"Havana repeats midnight, second pass", "America/Havana", schedule(0, 60, {W::sunday}),
       utc(2026, 11, 1, 5h + 30min), ScheduledWindow{utc(2026, 11, 1, 4h), utc(2026, 11, 1, 5h)}},
      {"Havana repeats midnight, first pass", "America/Havana", schedule(0, 60, {W::sunday}),
       utc(2026, 11, 1, 4h + 30min), ScheduledWindow{utc(2026, 11, 1, 4h), utc(2026, 11, 1, 5h)}},
      {"Havana skips midnight in spring", "America/Havana", schedule(0, 60, {W::sunday}),
       utc(2026, 3, 8, 12h), ScheduledWindow{utc(2026, 3, 8, 5h), utc(2026, 3, 8, 6h)}},
  };
  for (const Case& c : cases) check(c);
}

TEST(ScheduledWindow, FollowsTheLocalDayFarFromUtc) {
  const FocusSchedule mondayMorning = schedule(540, 720, {W::monday});
  const Case cases[] = {
      // +05:45: Monday 00:05 local is Sunday 18:20 UTC.
      {"Kathmandu", "Asia/Kathmandu", mondayMorning, utc(2026, 3, 1, 18h + 20min),
       ScheduledWindow{utc(2026, 3, 2, 3h + 15min), utc(2026, 3, 2, 6h + 15min)}},
      // +14: Monday 00:30 local is Sunday 10:30 UTC.
      {"Kiritimati", "Pacific/Kiritimati", mondayMorning, utc(2026, 3, 1, 10h + 30min),
       ScheduledWindow{utc(2026, 3, 1, 19h), utc(2026, 3, 1, 22h)}},
      {"Kiritimati, Sunday 23:30 local", "Pacific/Kiritimati", mondayMorning,
       utc(2026, 3, 1, 9h + 30min), std::nullopt},
      // -11: Monday 23:30 local is Tuesday 10:30 UTC.
      {"Pago Pago", "Pacific/Pago_Pago", mondayMorning, utc(2026, 3, 3, 10h + 30min),
       ScheduledWindow{utc(2026, 3, 2, 20h), utc(2026, 3, 2, 23h)}},
  };
  for (const Case& c : cases) check(c);
}

// Samoa moved across the date line at the end of Thursday 2011-12-29 (-10): the next local
// instant was Saturday 2011-12-31 00:00 (+14). No instant lies on Friday the 30th.
TEST(ScheduledWindow, SkipsADayTheZoneNeverHad) {
  const ZoneCalendar apia("Pacific/Apia");
  const Instant lastOfThursday = utc(2011, 12, 30, 9h + 59min) + 59s;
  const Instant firstOfSaturday = utc(2011, 12, 30, 10h);
  EXPECT_EQ(weekdayOf(lastOfThursday, apia), W::thursday);
  EXPECT_EQ(weekdayOf(firstOfSaturday, apia), W::saturday);
  const FocusSchedule wholeDay = schedule(0, 1440, {W::thursday, W::friday, W::saturday});
  EXPECT_EQ(scheduledWindow(wholeDay, lastOfThursday, apia),
            (ScheduledWindow{utc(2011, 12, 29, 10h), utc(2011, 12, 30, 10h)}));
  EXPECT_EQ(scheduledWindow(wholeDay, firstOfSaturday, apia),
            (ScheduledWindow{utc(2011, 12, 30, 10h), utc(2011, 12, 31, 10h)}));
  EXPECT_EQ(scheduledWindow(schedule(0, 1440, {W::friday}), firstOfSaturday, apia), std::nullopt);
}

TEST(ScheduledWindow, GivesNothingWhenTheMinutesReachBeyondAnInstant) {
  const ZoneCalendar calendar("UTC");
  const Instant monday = utc(2026, 3, 2, 12h);
  for (std::int64_t end :
       {kInt64Max, kInt64Max / 60 + 1, std::int64_t{153'722'868}, std::int64_t{150'000'000}}) {
    EXPECT_EQ(scheduledWindow(schedule(0, end, {W::monday}), monday, calendar), std::nullopt)
        << end;
  }
  EXPECT_EQ(scheduledWindow(schedule(150'000'000, 150'000'001, {W::monday}), monday, calendar),
            std::nullopt);
  // The last whole minute that fits still gives a window, far in the future.
  const std::optional<ScheduledWindow> far =
      scheduledWindow(schedule(0, 123'000'000, {W::monday}), monday, calendar);
  ASSERT_TRUE(far.has_value());
  EXPECT_EQ(far->end, utc(2026, 3, 2, 0min) + std::chrono::minutes(123'000'000));
}

TEST(ScheduledWindow, TakesATimeZoneChangeAtTheNextCall) {
  // 2026-03-01 20:00 UTC: Monday 05:00 in Tokyo, Sunday 15:00 in New York.
  const Instant date = utc(2026, 3, 1, 20h);
  const FocusSchedule mondayMorning = schedule(540, 720, {W::monday});
  ScopedTimeZone tz("Asia/Tokyo");
  EXPECT_EQ(scheduledWindow(mondayMorning, date, platform::currentCalendar()),
            (ScheduledWindow{utc(2026, 3, 2, 0h), utc(2026, 3, 2, 3h)}));
  tz.set("America/New_York");
  EXPECT_EQ(scheduledWindow(mondayMorning, date, platform::currentCalendar()), std::nullopt);
}

// A calendar that numbers weekdays outside 1 to 7, as no real one does.
class OddCalendar final : public platform::Calendar {
 public:
  int weekday(Instant) const override { return 0; }
  std::optional<Instant> startOfDay(Instant instant) const override { return instant; }
};

TEST(WeekdayOf, GivesNothingForANumberOutsideTheWeek) {
  EXPECT_EQ(weekdayOf(utc(2026, 3, 2, 0h), OddCalendar()), std::nullopt);
  EXPECT_EQ(scheduledWindow(
                schedule(0, 60, std::vector<Weekday>(kAllWeekdays.begin(), kAllWeekdays.end())),
                utc(2026, 3, 2, 0h), OddCalendar()),
            std::nullopt);
}

}  // namespace
}  // namespace varn
