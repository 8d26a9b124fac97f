#include "platform/calendar.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/testing/memory_log_sink.h"
#include "support/case_table.h"
#include "support/temp_dir.h"

namespace varn::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

Instant at(int year, int month, int day, std::chrono::nanoseconds time) {
  return Instant(std::chrono::sys_days(std::chrono::year(year) / month / day)) + time;
}

// 2026-03-01 20:00 UTC: its day began at 15:00 UTC in Tokyo, 05:00 in New York, 23:00 the day
// before in Berlin, so the start of the day tells the zone.
const Instant kSundayEveningUtc = at(2026, 3, 1, 20h);
const fs::path kZoneinfo = "/usr/share/zoneinfo";

// Single-threaded, so setting TZ races with nothing.
// NOLINTNEXTLINE(concurrency-mt-unsafe)
void setTz(const char* tz) { tz ? ::setenv("TZ", tz, 1) : ::unsetenv("TZ"); }

TEST(UserCalendar, FindsTheZoneOfEachSetUpInOrder) {
  for (const support::Case& c : support::readCases("src/platform/calendar_cases.tsv", 5)) {
    const std::string &localtime = c.fields[1], &zone = c.fields[2], &expected = c.fields[4];
    setTz(c.fields[0] == "-" ? nullptr : c.fields[0].c_str());
    support::TempDir root;
    fs::create_directories(root / "etc");
    const fs::path planted = root / "etc/localtime",
                   copy = localtime == "copy" ? planted : root / "c";
    if (localtime == "link") fs::create_symlink(kZoneinfo / zone, planted);
    if (localtime.ends_with("copy")) fs::copy_file(kZoneinfo / zone, copy);
    if (localtime == "link-to-copy") fs::create_symlink(copy, planted);
    if (localtime == "garbage") support::writeFile(planted, "TZif2 but nothing a zone file holds");
    if (localtime == "folder") fs::create_directory(planted);
    if (c.fields[3] != "-") support::writeFile(root / "etc/timezone", c.fields[3]);
    const testing::ScopedMemoryLog log;
    const std::unique_ptr<Calendar> calendar = userCalendar(root.path());
    const std::unique_ptr<Calendar> want = calendarForZone(expected);
    ASSERT_NE(want, nullptr) << c.where;
    EXPECT_EQ(calendar->startOfDay(kSundayEveningUtc), want->startOfDay(kSundayEveningUtc))
        << c.where;
    EXPECT_EQ(calendar->weekday(kSundayEveningUtc), want->weekday(kSundayEveningUtc)) << c.where;
    EXPECT_EQ(log->count("No time zone found, using UTC: %{public}s"), size_t{expected == "UTC"})
        << c.where;
    // What a report shows of the same zone: found the same way, and without logging.
    const UserZoneFinding found = findUserZone(root.path());
    EXPECT_EQ(found.calendar->startOfDay(kSundayEveningUtc), want->startOfDay(kSundayEveningUtc))
        << c.where;
    EXPECT_EQ(found.source == "none", expected == "UTC") << c.where;
    EXPECT_EQ(log->count("No time zone found, using UTC: %{public}s"), size_t{expected == "UTC"})
        << c.where;
  }
}

// A link is resolved again when it or its chain's end changes, a copy when its size, time or inode
// does.
TEST(UserCalendar, FollowsEachChangeOfLocaltimeFromOneCallToTheNext) {
  setTz(nullptr);
  support::TempDir root;
  fs::create_directories(root / "etc");
  fs::create_symlink(kZoneinfo, root / "etc/zoneinfo");
  const fs::path localtime = root / "etc/localtime", next = root / "etc/next";
  const std::unique_ptr<Calendar> calendar = userCalendar(root.path());
  const auto plant = [&](const fs::path& target, bool copy) {
    copy ? (void)fs::copy_file(kZoneinfo / target, next) : fs::create_symlink(target, next);
    fs::rename(next, localtime);  // in one step, as timedatectl does
    return calendar->startOfDay(kSundayEveningUtc);
  };
  EXPECT_EQ(plant(kZoneinfo / "Asia/Tokyo", false), at(2026, 3, 1, 15h));
  EXPECT_EQ(plant("zoneinfo/America/New_York", false), at(2026, 3, 1, 5h));
  const std::unique_ptr<Calendar> snapshot = calendar->snapshot();
  EXPECT_EQ(plant("Etc/GMT+1", true), at(2026, 3, 1, 1h));  // 19:00 there
  EXPECT_EQ(snapshot->startOfDay(kSundayEveningUtc), at(2026, 3, 1, 5h));
  EXPECT_EQ(plant("Asia/Tokyo", true), at(2026, 3, 1, 15h));
  // Through a second link that changes while /etc/localtime keeps its text.
  const auto relink = [&](const char* zone) {
    fs::create_symlink(fs::path("zoneinfo") / zone, next);
    fs::rename(next, root / "etc/hop");
  };
  relink("America/New_York");
  EXPECT_EQ(plant("hop", false), at(2026, 3, 1, 5h));
  relink("Asia/Tokyo");
  EXPECT_EQ(calendar->startOfDay(kSundayEveningUtc), at(2026, 3, 1, 15h));
}

TEST(Calendar, KnowsOnlyTheDatabasesZonesAndStaysWithinTheInstantRange) {
  for (const char* name :
       {"", "Europe/Nowhere", "europe/berlin", "../zoneinfo/UTC", "/etc/localtime"}) {
    EXPECT_EQ(calendarForZone(name), nullptr) << name;
  }
  const auto utc = calendarForZone("UTC"), kiritimati = calendarForZone("Pacific/Kiritimati");
  ASSERT_TRUE(utc && kiritimati);
  // Instant::min() is 1677-09-21 00:12:43 UTC, a Tuesday; its midnight is out of reach.
  EXPECT_EQ(utc->weekday(Instant::min()), 3);
  EXPECT_EQ(utc->startOfDay(Instant::min()), std::nullopt);
  EXPECT_EQ(utc->startOfDay(Instant::min() + 24h), at(1677, 9, 22, 0h));
  // Instant::max() is 2262-04-11 23:47:16 UTC, already Saturday the 12th in Kiritimati (+14).
  EXPECT_EQ(kiritimati->weekday(Instant::max()), 7);
  EXPECT_EQ(kiritimati->startOfDay(Instant::max()), at(2262, 4, 11, 10h));
}

TEST(Calendar, AddsElapsedMinutesAndNeverWraps) {
  const auto utc = calendarForZone("UTC");
  const Instant epoch{}, max = Instant::max(), min = Instant::min();
  EXPECT_EQ(utc->addingMinutes(epoch, -90), epoch - 90min);
  EXPECT_EQ(utc->addingMinutes(epoch, 153'722'867), epoch + 153'722'867min);  // the last that fits
  EXPECT_EQ(utc->addingMinutes(max - 60s, 1), max);
  for (const auto& [from, minutes] : {std::pair{epoch, std::int64_t{153'722'868}},
                                      {epoch, INT64_MIN},
                                      {epoch, INT64_MAX},
                                      {max - 59s, 1},
                                      {min + 59s, -1}}) {
    EXPECT_EQ(utc->addingMinutes(from, minutes), std::nullopt) << minutes;
  }
}

}  // namespace
}  // namespace varn::platform
