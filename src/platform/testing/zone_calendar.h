#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/calendar.h"

namespace varn::platform::testing {

// A calendar fixed on one named zone of the system tz database, so that a test states the zone
// it reasons in. A name the database does not know fails the current test and leaves a UTC
// calendar in its place.
class ZoneCalendar final : public Calendar {
 public:
  explicit ZoneCalendar(std::string_view zone);

  int weekday(Instant instant) const override { return zone_->weekday(instant); }
  std::optional<Instant> startOfDay(Instant instant) const override {
    return zone_->startOfDay(instant);
  }
  std::unique_ptr<Calendar> snapshot() const override { return zone_->snapshot(); }

 private:
  std::unique_ptr<Calendar> zone_;
};

// Sets the TZ variable for a scope and puts the previous value (or its absence) back at the end,
// for tests of currentCalendar(). Not for tests that run threads reading the environment.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) : previous_(read()) { set(tz); }
  ~ScopedTimeZone();
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

  // Changes TZ again within the scope; nullptr removes it.
  void set(const char* tz);

 private:
  static std::optional<std::string> read();
  std::optional<std::string> previous_;
};

}  // namespace varn::platform::testing
