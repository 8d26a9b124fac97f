#include "platform/calendar.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "platform/testing/temp_dir.h"
#include "platform/testing/zone_calendar.h"

namespace varn::platform {
namespace {

using namespace std::chrono_literals;
using testing::ScopedTimeZone;
using testing::ZoneCalendar;

Instant at(int year, unsigned month, unsigned day, std::chrono::nanoseconds time) {
  return Instant(std::chrono::sys_days(std::chrono::year(year) / month / day)) + time;
}

// 2026-03-01 20:00 UTC: Sunday 15:00 in New York, Monday 05:00 in Tokyo.
const Instant kSundayEveningUtc = at(2026, 3, 1, 20h);

TEST(CurrentCalendar, LooksUpTheZoneOnEveryCall) {
  ScopedTimeZone tz("Asia/Tokyo");
  EXPECT_EQ(currentCalendar().weekday(kSundayEveningUtc), 2);
  EXPECT_EQ(currentCalendar().startOfDay(kSundayEveningUtc), at(2026, 3, 1, 15h));
  tz.set("America/New_York");
  EXPECT_EQ(currentCalendar().weekday(kSundayEveningUtc), 1);
  EXPECT_EQ(currentCalendar().startOfDay(kSundayEveningUtc), at(2026, 3, 1, 5h));
  tz.set(":Asia/Tokyo");  // glibc's form for a zone file name
  EXPECT_EQ(currentCalendar().weekday(kSundayEveningUtc), 2);
}

TEST(CurrentCalendar, ASnapshotKeepsTheZoneOfItsMoment) {
  ScopedTimeZone tz("Asia/Tokyo");
  const std::unique_ptr<Calendar> tokyo = currentCalendar().snapshot();
  tz.set("America/New_York");
  const std::unique_ptr<Calendar> newYork = currentCalendar().snapshot();
  tz.set("UTC");
  EXPECT_EQ(tokyo->weekday(kSundayEveningUtc), 2);
  EXPECT_EQ(tokyo->startOfDay(kSundayEveningUtc), at(2026, 3, 1, 15h));
  EXPECT_EQ(newYork->weekday(kSundayEveningUtc), 1);
  EXPECT_EQ(newYork->startOfDay(kSundayEveningUtc), at(2026, 3, 1, 5h));
  EXPECT_EQ(currentCalendar().startOfDay(kSundayEveningUtc), at(2026, 3, 1, 0h));
}

TEST(CurrentCalendar, UsesTheSystemZoneWhenTzNamesNoKnownZone) {
  ScopedTimeZone tz(nullptr);
  const Instant instants[] = {kSundayEveningUtc, at(2026, 7, 15, 23h + 59min)};
  for (const char* name : {"", ":", "Not/AZone", "CET-1CEST,M3.5.0,M10.5.0/3", "../UTC"}) {
    for (Instant instant : instants) {
      tz.set(nullptr);
      const int weekday = currentCalendar().weekday(instant);
      const std::optional<Instant> start = currentCalendar().startOfDay(instant);
      tz.set(name);
      EXPECT_EQ(currentCalendar().weekday(instant), weekday) << '"' << name << '"';
      EXPECT_EQ(currentCalendar().startOfDay(instant), start) << '"' << name << '"';
    }
  }
}

// Points the link at `path` to `target`, replacing it in one step as timedatectl does.
void relink(const std::filesystem::path& path, const std::filesystem::path& target) {
  std::filesystem::path next = path;
  next += ".next";
  std::filesystem::create_symlink(target, next);
  std::filesystem::rename(next, path);
}

TEST(UserCalendar, FollowsTheLocaltimeLinkFromOneCallToTheNext) {
  ScopedTimeZone tz(nullptr);
  testing::TempDir dir;
  const std::filesystem::path localtime = dir / "localtime";
  relink(localtime, "/usr/share/zoneinfo/Asia/Tokyo");
  const std::unique_ptr<Calendar> calendar = userCalendar(localtime);
  EXPECT_EQ(calendar->weekday(kSundayEveningUtc), 2);
  EXPECT_EQ(calendar->startOfDay(kSundayEveningUtc), at(2026, 3, 1, 15h));
  // Each target is resolved when it changes, also back to one seen before.
  for (int round = 0; round < 2; ++round) {
    relink(localtime, "/usr/share/zoneinfo/America/New_York");
    EXPECT_EQ(calendar->weekday(kSundayEveningUtc), 1);
    EXPECT_EQ(calendar->startOfDay(kSundayEveningUtc), at(2026, 3, 1, 5h));
    relink(localtime, "/usr/share/zoneinfo/Asia/Tokyo");
    EXPECT_EQ(calendar->weekday(kSundayEveningUtc), 2);
  }
  // A relative link, and one through another link, count by where they lead.
  relink(dir / "zoneinfo", "/usr/share/zoneinfo");
  relink(localtime, "zoneinfo/America/New_York");
  EXPECT_EQ(calendar->weekday(kSundayEveningUtc), 1);
  const std::unique_ptr<Calendar> snapshot = calendar->snapshot();
  relink(localtime, "/usr/share/zoneinfo/Asia/Tokyo");
  EXPECT_EQ(snapshot->weekday(kSundayEveningUtc), 1);
  EXPECT_EQ(calendar->weekday(kSundayEveningUtc), 2);
  relink(localtime, "zoneinfo/America/New_York");
  tz.set("Asia/Tokyo");  // TZ comes first
  EXPECT_EQ(calendar->weekday(kSundayEveningUtc), 2);
}

TEST(UserCalendar, ALinkToNoKnownZoneLeavesTheSystemZone) {
  ScopedTimeZone tz(nullptr);
  testing::TempDir dir;
  testing::writeFile(dir / "zone", "not a zone file");
  relink(dir / "file", dir / "zone");
  relink(dir / "nowhere", dir / "missing");
  relink(dir / "unknown", "/usr/share/zoneinfo/Not/AZone");
  for (const char* name : {"file", "nowhere", "unknown", "zone"}) {
    const std::unique_ptr<Calendar> calendar = userCalendar(dir / name);
    for (Instant instant : {kSundayEveningUtc, at(2026, 7, 15, 23h + 59min)}) {
      EXPECT_EQ(calendar->weekday(instant), currentCalendar().weekday(instant)) << name;
      EXPECT_EQ(calendar->startOfDay(instant), currentCalendar().startOfDay(instant)) << name;
    }
  }
}

TEST(CalendarForZone, KnowsOnlyTheDatabasesNames) {
  EXPECT_NE(calendarForZone("Europe/Berlin"), nullptr);
  for (const char* name :
       {"", "Europe/Nowhere", "europe/berlin", "../zoneinfo/UTC", "/etc/localtime"}) {
    EXPECT_EQ(calendarForZone(name), nullptr) << name;
  }
}

TEST(Calendar, StartOfDayIsNothingBeforeTheEarliestInstant) {
  const ZoneCalendar utc("UTC");
  // Instant::min() is 1677-09-21 00:12:43 UTC, a Tuesday; its midnight is out of reach.
  EXPECT_EQ(utc.weekday(Instant::min()), 3);
  EXPECT_EQ(utc.startOfDay(Instant::min()), std::nullopt);
  EXPECT_EQ(utc.startOfDay(Instant::min() + 24h), at(1677, 9, 22, 0h));
  // Instant::max() is 2262-04-11 23:47:16 UTC, already Saturday the 12th in Kiritimati (+14).
  const ZoneCalendar kiritimati("Pacific/Kiritimati");
  EXPECT_EQ(kiritimati.weekday(Instant::max()), 7);
  EXPECT_EQ(kiritimati.startOfDay(Instant::max()), at(2262, 4, 11, 10h));
}

TEST(Calendar, AddsElapsedMinutesAndNeverWraps) {
  const ZoneCalendar utc("UTC");
  const Instant epoch{};
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const struct {
    Instant from;
    std::int64_t minutes;
    std::optional<Instant> expected;
  } cases[] = {
      {epoch, 90, epoch + 90min},
      {epoch, -1, epoch - 1min},
      {epoch, 153'722'867, epoch + std::chrono::minutes(153'722'867)},  // the last that fits
      {epoch, 153'722'868, std::nullopt},
      {epoch, -153'722'868, std::nullopt},
      {epoch, kMax, std::nullopt},
      {epoch, kMin, std::nullopt},
      {Instant::max() - 59s, 1, std::nullopt},
      {Instant::max() - 60s, 1, Instant::max()},
      {Instant::min() + 59s, -1, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utc.addingMinutes(c.from, c.minutes), c.expected) << c.minutes;
  }
}

}  // namespace
}  // namespace varn::platform
