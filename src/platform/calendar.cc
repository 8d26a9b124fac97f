#include "platform/calendar.h"

#include <date/tz.h>

#include <optional>

#include "platform/user_zone.h"

namespace varn::platform {
namespace {

using std::chrono::nanoseconds;
using std::chrono::seconds;

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

std::chrono::seconds utcOffsetIn(const date::time_zone* zone, Instant instant) noexcept {
  if (!zone) return seconds(0);
  try {
    return zone->get_info(date::floor<seconds>(instant)).offset;
  } catch (...) {
    return seconds(0);
  }
}

class ZoneCalendar final : public Calendar {
 public:
  explicit ZoneCalendar(const date::time_zone* zone) : zone_(zone) {}
  int weekday(Instant instant) const override { return weekdayIn(zone_, instant); }
  std::optional<Instant> startOfDay(Instant instant) const override {
    return startOfDayIn(zone_, instant);
  }
  seconds utcOffset(Instant instant) const override { return utcOffsetIn(zone_, instant); }
  std::unique_ptr<Calendar> snapshot() const override {
    return std::make_unique<ZoneCalendar>(zone_);
  }

 private:
  const date::time_zone* zone_;  // owned by the tz database, which lives as long as the process
};

class UserCalendar final : public Calendar {
 public:
  explicit UserCalendar(const std::filesystem::path& root) : zone_(root) {}
  int weekday(Instant instant) const override { return weekdayIn(zone_.find(), instant); }
  std::optional<Instant> startOfDay(Instant instant) const override {
    return startOfDayIn(zone_.find(), instant);
  }
  seconds utcOffset(Instant instant) const override { return utcOffsetIn(zone_.find(), instant); }
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
  seconds utcOffset(Instant instant) const override { return calendar_.utcOffset(instant); }

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
  static const UserCalendar calendar("/");
  return calendar;
}

UserZoneFinding findUserZone(const std::filesystem::path& root) {
  const UserZone zone(root);
  UserZone::Finding found = zone.describe();
  UserZoneFinding finding{std::nullopt, std::move(found.source), std::move(found.whyNone),
                          std::make_unique<ZoneCalendar>(found.zone)};
  if (found.zone) finding.name = std::string(found.zone->name());
  return finding;
}

std::unique_ptr<Calendar> userCalendar(const std::filesystem::path& root) {
  return std::make_unique<UserCalendar>(root);
}

std::unique_ptr<Calendar> calendarForZone(std::string_view name) {
  const date::time_zone* zone = zoneNamed(name);
  if (!zone) return nullptr;
  return std::make_unique<ZoneCalendar>(zone);
}

}  // namespace varn::platform
