#include "platform/calendar.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "platform/testing/memory_log_sink.h"
#include "platform/testing/zone_calendar.h"
#include "support/temp_dir.h"

namespace varn::platform {
namespace {

using namespace std::chrono_literals;
using testing::ScopedTimeZone;
using testing::ZoneCalendar;

Instant at(int year, int month, int day, std::chrono::nanoseconds time) {
  return Instant(std::chrono::sys_days(std::chrono::year(year) / month / day)) + time;
}

// 2026-03-01 20:00 UTC: Sunday 15:00 in New York, Monday 05:00 in Tokyo.
const Instant kSundayEveningUtc = at(2026, 3, 1, 20h);

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

// Points the link at `path` to `target`, replacing it in one step as timedatectl does.
void relink(const std::filesystem::path& path, const std::filesystem::path& target) {
  std::filesystem::path next = path;
  next += ".next";
  std::filesystem::create_symlink(target, next);
  std::filesystem::rename(next, path);
}

const std::filesystem::path kZoneinfo = "/usr/share/zoneinfo";

// What a test plants at etc/localtime.
enum class Localtime { kNone, kLink, kCopy, kLinkToCopy, kGarbage, kFolder };

struct SystemSetUp {
  const char* tz;  // nullptr: unset
  Localtime localtime;
  const char* zone;      // the zone linked or copied
  const char* timezone;  // contents of etc/timezone; nullptr: none
};

// Plants `setUp` under `root` (etc/localtime, etc/timezone).
void plant(const std::filesystem::path& root, const SystemSetUp& setUp) {
  const std::filesystem::path etc = root / "etc";
  std::filesystem::create_directories(etc);
  const std::filesystem::path localtime = etc / "localtime";
  const std::filesystem::path zoneFile = kZoneinfo / (setUp.zone ? setUp.zone : "");
  switch (setUp.localtime) {
    case Localtime::kNone:
      break;
    case Localtime::kLink:
      std::filesystem::create_symlink(zoneFile, localtime);
      break;
    case Localtime::kCopy:
      std::filesystem::copy_file(zoneFile, localtime);
      break;
    case Localtime::kLinkToCopy:
      std::filesystem::copy_file(zoneFile, root / "zone-copy");
      std::filesystem::create_symlink(root / "zone-copy", localtime);
      break;
    case Localtime::kGarbage:
      support::writeFile(localtime, "TZif2 but nothing a zone file holds");
      break;
    case Localtime::kFolder:
      std::filesystem::create_directory(localtime);
      break;
  }
  if (setUp.timezone) support::writeFile(etc / "timezone", setUp.timezone);
}

TEST(UserCalendar, FindsTheZoneOfEachSetUpInOrder) {
  using enum Localtime;
  const struct {
    SystemSetUp setUp;
    const char* expected;  // the zone the calendar must answer in; "UTC" with a logged fallback
  } cases[] = {
      {{"Asia/Tokyo", kLink, "America/New_York", "Europe/Berlin"}, "Asia/Tokyo"},
      {{":Asia/Tokyo", kNone, nullptr, nullptr}, "Asia/Tokyo"},  // glibc's form of a file name
      {{"Not/AZone", kLink, "America/New_York", nullptr}, "America/New_York"},
      {{"", kCopy, "America/New_York", nullptr}, "America/New_York"},
      {{nullptr, kLink, "America/New_York", "Europe/Berlin"}, "America/New_York"},
      {{nullptr, kCopy, "Asia/Tokyo", "Europe/Berlin"}, "Asia/Tokyo"},
      {{nullptr, kLinkToCopy, "Asia/Tokyo", "Europe/Berlin"}, "Asia/Tokyo"},
      {{nullptr, kNone, nullptr, "Europe/Berlin\n"}, "Europe/Berlin"},
      {{nullptr, kGarbage, nullptr, " Europe/Berlin \nsecond line\n"}, "Europe/Berlin"},
      {{nullptr, kLink, "Not/AZone", "Europe/Berlin"}, "Europe/Berlin"},
      {{nullptr, kFolder, nullptr, "Europe/Berlin"}, "Europe/Berlin"},
      {{nullptr, kGarbage, nullptr, nullptr}, "UTC"},
      {{nullptr, kLink, "Not/AZone", nullptr}, "UTC"},
      {{nullptr, kNone, nullptr, "Not/AZone"}, "UTC"},
      {{"Not/AZone", kNone, nullptr, ""}, "UTC"},
  };
  for (const auto& c : cases) {
    const std::string label = std::string("TZ ") + (c.setUp.tz ? c.setUp.tz : "unset") + ", " +
                              (c.setUp.zone ? c.setUp.zone : "-") + ", timezone " +
                              (c.setUp.timezone ? c.setUp.timezone : "none");
    const ScopedTimeZone tz(c.setUp.tz);
    support::TempDir root;
    plant(root.path(), c.setUp);
    const testing::ScopedMemoryLog log;
    const std::unique_ptr<Calendar> calendar = userCalendar(root.path());
    const ZoneCalendar expected(c.expected);
    for (Instant instant : {kSundayEveningUtc, at(2026, 7, 15, 23h + 59min)}) {
      EXPECT_EQ(calendar->weekday(instant), expected.weekday(instant)) << label;
      EXPECT_EQ(calendar->startOfDay(instant), expected.startOfDay(instant)) << label;
    }
    const size_t fallbacks = std::string_view(c.expected) == "UTC" ? 1 : 0;
    EXPECT_EQ(log->count("No time zone found, using UTC: %{public}s"), fallbacks) << label;
  }
}

TEST(UserCalendar, LogsTheFallbackToUtcOnceSayingWhy) {
  const ScopedTimeZone tz("Not/AZone");
  support::TempDir root;
  std::filesystem::create_directories(root / "etc");
  const testing::ScopedMemoryLog log;
  const std::unique_ptr<Calendar> calendar = userCalendar(root.path());
  for (int call = 0; call < 3; ++call) calendar->weekday(kSundayEveningUtc);
  const std::string etc = (root / "etc").string();
  ASSERT_EQ(log->lines(),
            std::vector<std::string>{"error: No time zone found, using UTC: TZ names no known zone "
                                     "('Not/AZone'); " +
                                     etc + "/localtime does not exist; " + etc +
                                     "/timezone does not exist"});
  EXPECT_EQ(log->entries()[0].category, "calendar");
  EXPECT_EQ(log->entries()[0].subsystem, "com.varn.macos");
  // Found, then lost again: logged once more.
  support::writeFile(root / "etc/timezone", "Asia/Tokyo");
  EXPECT_EQ(calendar->weekday(kSundayEveningUtc), 2);
  std::filesystem::remove(root / "etc/timezone");
  for (int call = 0; call < 3; ++call) EXPECT_EQ(calendar->weekday(kSundayEveningUtc), 1);
  EXPECT_EQ(log->entries().size(), 2u);
}

TEST(UserCalendar, ComparesACopiedZoneAgainOnlyWhenTheFileChanges) {
  const ScopedTimeZone tz(nullptr);
  support::TempDir root;
  std::filesystem::create_directories(root / "etc");
  const std::filesystem::path localtime = root / "etc/localtime";
  // Two zones of the same size, five hours apart: 20:00 UTC is 19:00 in one, 15:00 in the other.
  const std::string minusOne = support::readFile(kZoneinfo / "Etc/GMT+1");
  const std::string minusFive = support::readFile(kZoneinfo / "Etc/GMT+5");
  ASSERT_EQ(minusOne.size(), minusFive.size());
  support::writeFile(localtime, minusOne);
  const testing::ScopedMemoryLog log;  // the garbage at the end falls back to UTC
  const std::unique_ptr<Calendar> calendar = userCalendar(root.path());
  EXPECT_EQ(calendar->startOfDay(kSundayEveningUtc), at(2026, 3, 1, 1h));
  // New bytes in place, with the old size and time: the file counts as unchanged.
  const std::filesystem::file_time_type written = std::filesystem::last_write_time(localtime);
  {
    std::ofstream out(localtime, std::ios::binary | std::ios::in | std::ios::out);
    out << minusFive;
  }
  std::filesystem::last_write_time(localtime, written);
  EXPECT_EQ(calendar->startOfDay(kSundayEveningUtc), at(2026, 3, 1, 1h));
  std::filesystem::last_write_time(localtime, written + 1s);
  EXPECT_EQ(calendar->startOfDay(kSundayEveningUtc), at(2026, 3, 1, 5h));
  // Replaced by another file, and by garbage: read again each time.
  const std::filesystem::path next = root / "etc/localtime.next";
  std::filesystem::copy_file(kZoneinfo / "Asia/Tokyo", next);
  std::filesystem::rename(next, localtime);
  EXPECT_EQ(calendar->startOfDay(kSundayEveningUtc), at(2026, 3, 1, 15h));
  support::writeFile(localtime, "garbage");
  EXPECT_EQ(calendar->startOfDay(kSundayEveningUtc), at(2026, 3, 1, 0h));
}

TEST(UserCalendar, FollowsTheLocaltimeLinkFromOneCallToTheNext) {
  ScopedTimeZone tz(nullptr);
  support::TempDir root;
  std::filesystem::create_directories(root / "etc");
  const std::filesystem::path localtime = root / "etc/localtime";
  relink(localtime, "/usr/share/zoneinfo/Asia/Tokyo");
  const std::unique_ptr<Calendar> calendar = userCalendar(root.path());
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
  relink(root / "etc/zoneinfo", "/usr/share/zoneinfo");
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
