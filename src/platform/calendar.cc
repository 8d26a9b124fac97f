#include "platform/calendar.h"

#include <date/tz.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace varn::platform {
namespace {

using std::chrono::nanoseconds;
using std::chrono::seconds;

// The zone the tz database knows as `name`, or nullptr. The database throws for names it does
// not know and when it cannot be read at all; neither may take the helper down.
const date::time_zone* findZone(std::string_view name) noexcept {
  if (name.empty()) return nullptr;
  try {
    return date::locate_zone(name);
  } catch (...) {
    return nullptr;
  }
}

// The system zone as the tz library finds it (/etc/localtime, /etc/timezone, ...), or nullptr.
const date::time_zone* systemZone() noexcept {
  try {
    return date::current_zone();
  } catch (...) {
    return nullptr;
  }
}

// The text of the link at `path`, or nothing when it is no link.
std::optional<std::string> linkTarget(const char* path) {
  char buffer[PATH_MAX];
  const ssize_t length = ::readlink(path, buffer, sizeof buffer);
  if (length <= 0 || static_cast<size_t>(length) == sizeof buffer) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(length));
}

// The zone a localtime link leads to, read as the tz library reads it: the part of the resolved
// path after its last "zoneinfo/". nullptr when that names no zone of the database.
const date::time_zone* zoneBehindLink(const char* path) {
  char resolved[PATH_MAX];
  if (::realpath(path, resolved) == nullptr) return nullptr;
  const std::string_view full(resolved);
  constexpr std::string_view kFolder = "zoneinfo/";
  const size_t at = full.rfind(kFolder);
  if (at == std::string_view::npos) return nullptr;
  return findZone(full.substr(at + kFolder.size()));
}

// The user's zone, looked up on every call but cheaply: the database is read once per process,
// so the answer for a TZ value, or for a localtime link's target text, stays right until that
// value or that text changes. Resolving the link afresh would cost a realpath over each of its
// components (eight system calls for /etc/localtime) and a search of the database.
class UserZone {
 public:
  explicit UserZone(std::filesystem::path localtime) : localtime_(std::move(localtime)) {}

  // nullptr stands for UTC: no zone could be found.
  const date::time_zone* find() const noexcept {
    try {
      std::lock_guard lock(mutex_);
      if (const char* variable = std::getenv("TZ")) {
        std::string_view name = variable;
        if (name.starts_with(':')) name.remove_prefix(1);
        if (!tz_ || tz_->first != name) tz_.emplace(std::string(name), findZone(name));
        if (tz_->second) return tz_->second;
      }
      if (const date::time_zone* zone = linkedZone()) return zone;
    } catch (...) {  // std::bad_alloc only
    }
    return systemZone();
  }

 private:
  const date::time_zone* linkedZone() const {
    std::optional<std::string> target = linkTarget(localtime_.c_str());
    if (!target) return nullptr;
    if (link_ && link_->first == *target) return link_->second;
    const date::time_zone* zone = zoneBehindLink(localtime_.c_str());
    // Kept only when the link did not change while it was resolved.
    if (zone && linkTarget(localtime_.c_str()) == target) link_.emplace(std::move(*target), zone);
    return zone;
  }

  const std::filesystem::path localtime_;
  mutable std::mutex mutex_;
  mutable std::optional<std::pair<std::string, const date::time_zone*>> tz_;    // TZ, its zone
  mutable std::optional<std::pair<std::string, const date::time_zone*>> link_;  // target, zone
};

// The local day that contains `instant`; `zone` nullptr stands for UTC. Offsets are whole
// seconds, so flooring to seconds first never changes the day.
date::local_days localDay(const date::time_zone* zone, Instant instant) {
  const date::sys_seconds utc = date::floor<seconds>(instant);
  const date::local_seconds local =
      zone ? zone->to_local(utc) : date::local_seconds(utc.time_since_epoch());
  return date::floor<date::days>(local);
}

date::sys_seconds firstInstantOf(const date::time_zone* zone, date::local_days day) {
  const date::local_seconds midnight(day);
  const date::sys_seconds naive(midnight.time_since_epoch());
  if (!zone) return naive;
  const date::local_info info = zone->get_info(midnight);
  // Skipped midnight: the day begins when the clocks jump, the end of the period before the gap.
  if (info.result == date::local_info::nonexistent) return info.first.end;
  // Unique, or repeated: `first` is the earlier of the two periods, so this gives the earlier
  // midnight.
  return naive - info.first.offset;
}

int weekdayNumber(date::local_days day) {
  return static_cast<int>(date::weekday(day).c_encoding()) + 1;  // c_encoding: Sunday = 0
}

std::optional<Instant> toInstant(date::sys_seconds time) {
  constexpr date::sys_seconds earliest = date::ceil<seconds>(Instant::min());
  constexpr date::sys_seconds latest = date::floor<seconds>(Instant::max());
  if (time < earliest || time > latest) return std::nullopt;
  return std::chrono::time_point_cast<nanoseconds>(time);
}

// The tz library loads a zone's rules lazily and throws when that fails; the calendar then
// answers in UTC rather than not at all.
int weekdayIn(const date::time_zone* zone, Instant instant) noexcept {
  try {
    return weekdayNumber(localDay(zone, instant));
  } catch (...) {
    return weekdayNumber(localDay(nullptr, instant));
  }
}

std::optional<Instant> startOfDayIn(const date::time_zone* zone, Instant instant) noexcept {
  try {
    return toInstant(firstInstantOf(zone, localDay(zone, instant)));
  } catch (...) {
    return toInstant(firstInstantOf(nullptr, localDay(nullptr, instant)));
  }
}

class ZoneCalendar final : public Calendar {
 public:
  explicit ZoneCalendar(const date::time_zone* zone) : zone_(zone) {}
  int weekday(Instant instant) const override { return weekdayIn(zone_, instant); }
  std::optional<Instant> startOfDay(Instant instant) const override {
    return startOfDayIn(zone_, instant);
  }
  std::unique_ptr<Calendar> snapshot() const override {
    return std::make_unique<ZoneCalendar>(zone_);
  }

 private:
  const date::time_zone* zone_;  // owned by the tz database, which lives as long as the process
};

class UserCalendar final : public Calendar {
 public:
  explicit UserCalendar(std::filesystem::path localtime) : zone_(std::move(localtime)) {}
  int weekday(Instant instant) const override { return weekdayIn(zone_.find(), instant); }
  std::optional<Instant> startOfDay(Instant instant) const override {
    return startOfDayIn(zone_.find(), instant);
  }
  std::unique_ptr<Calendar> snapshot() const override {
    return std::make_unique<ZoneCalendar>(zone_.find());
  }

 private:
  UserZone zone_;
};

// Answers as another calendar does, call by call.
class SameAs final : public Calendar {
 public:
  explicit SameAs(const Calendar& calendar) : calendar_(calendar) {}
  int weekday(Instant instant) const override { return calendar_.weekday(instant); }
  std::optional<Instant> startOfDay(Instant instant) const override {
    return calendar_.startOfDay(instant);
  }

 private:
  const Calendar& calendar_;
};

}  // namespace

std::unique_ptr<Calendar> Calendar::snapshot() const { return std::make_unique<SameAs>(*this); }

std::optional<Instant> Calendar::addingMinutes(Instant instant, std::int64_t minutes) const {
  constexpr nanoseconds::rep kPerMinute = 60'000'000'000;
  nanoseconds::rep offset = 0;
  nanoseconds::rep result = 0;
  if (__builtin_mul_overflow(minutes, kPerMinute, &offset) ||
      __builtin_add_overflow(instant.time_since_epoch().count(), offset, &result)) {
    return std::nullopt;
  }
  return Instant(nanoseconds(result));
}

const Calendar& currentCalendar() {
  static const UserCalendar calendar("/etc/localtime");
  return calendar;
}

std::unique_ptr<Calendar> userCalendar(std::filesystem::path localtime) {
  return std::make_unique<UserCalendar>(std::move(localtime));
}

std::unique_ptr<Calendar> calendarForZone(std::string_view name) {
  const date::time_zone* zone = findZone(name);
  if (!zone) return nullptr;
  return std::make_unique<ZoneCalendar>(zone);
}

}  // namespace varn::platform
