#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace varn::platform {

// The Gregorian calendar in one time zone of the system's tz database (/usr/share/zoneinfo):
// local days, their weekdays and their first instants. Implementations are immutable and safe to
// call from any thread.
class Calendar {
 public:
  virtual ~Calendar() = default;

  // The weekday of the local day that contains `instant`: 1 = Sunday through 7 = Saturday.
  virtual int weekday(Instant instant) const = 0;

  // The first instant of the local day that contains `instant`: local midnight; where a clock
  // change skips midnight, the instant of the change; where one repeats it, the earlier midnight.
  // Nothing when that instant lies before the earliest Instant (September 1677).
  virtual std::optional<Instant> startOfDay(Instant instant) const = 0;

  // `instant` advanced by `minutes` minutes of elapsed time (60 s each, whatever the clocks do
  // meanwhile); negative values go back. Nothing when the result lies outside the range an
  // Instant can hold (about the years 1678 to 2261); never wraps.
  std::optional<Instant> addingMinutes(Instant instant, std::int64_t minutes) const;

  // How far local time is ahead of UTC at `instant` (negative west of Greenwich), in whole
  // seconds, for showing an instant as local time.
  virtual std::chrono::seconds utcOffset(Instant instant) const = 0;

  // This calendar as it stands at this moment, for a run of calls that must agree on the zone:
  // the user's calendar gives one fixed on the zone it finds now, so that a change of zone
  // midway cannot put two calls on different days, and the run pays for one lookup. Others give
  // a calendar that answers as they do; it must not outlive them.
  virtual std::unique_ptr<Calendar> snapshot() const;
};

// The user's calendar. Its zone is, in this order: the one TZ names (a leading ':' dropped) when
// the tz database knows that name; the zone /etc/localtime links to; when /etc/localtime is (or
// leads to) a regular file, the zone of the database whose file holds the same bytes; the name in
// the first line of /etc/timezone; otherwise UTC. Falling back to UTC writes one error entry
// (category "calendar") naming what each source lacked; it is written again only after a zone
// was found in between. The zone is looked up afresh on every call, so a change of time zone
// takes effect at the next call. Lives for the whole process.
//
// Cost of that lookup: with TZ set, no system call (the answer for a name is remembered, as the
// database is read once per process); without it, one readlink and one stat of /etc/localtime,
// whose target decides the zone (a link is resolved again whenever its text, or the device and
// inode of the file at the end of its chain, change). A regular /etc/localtime adds one stat: its
// bytes are compared with the database's files (only those of the same size are read) when its
// device, inode, size or modification time changes.
const Calendar& currentCalendar();

// Where the user's zone came from, as currentCalendar() would find it now: "TZ", "/etc/localtime",
// "/etc/timezone", or "none" (UTC then).
struct UserZoneFinding {
  std::optional<std::string> name;  // the zone's name in the database; nothing for "none"
  std::string source;
  std::string whyNone;                 // for "none": what each source lacked
  std::unique_ptr<Calendar> calendar;  // fixed on that zone (UTC for "none"); never nullptr
};
// Logs nothing, unlike the user's calendar. `root` as for userCalendar().
UserZoneFinding findUserZone(const std::filesystem::path& root = "/");

// The user's calendar as currentCalendar() builds it, but reading `root`/etc/localtime and
// `root`/etc/timezone where the system has /etc/localtime and /etc/timezone: for tests that plant
// each set-up in a folder of their own. TZ and the zone database stay the process's. Logs its
// fallbacks to UTC as currentCalendar() does.
std::unique_ptr<Calendar> userCalendar(const std::filesystem::path& root);

// A calendar fixed on the zone the tz database knows as `name` ("Europe/Berlin"), or nullptr
// when it knows no such zone.
std::unique_ptr<Calendar> calendarForZone(std::string_view name);

}  // namespace varn::platform
