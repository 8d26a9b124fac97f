#include "platform/testing/zone_calendar.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace varn::platform::testing {

ZoneCalendar::ZoneCalendar(std::string_view zone) : zone_(calendarForZone(zone)) {
  if (zone_) return;
  ADD_FAILURE() << "the tz database has no zone " << zone;
  zone_ = calendarForZone("UTC");
  if (!zone_) std::abort();  // no tz database at all: nothing in these tests can work
}

ScopedTimeZone::~ScopedTimeZone() { set(previous_ ? previous_->c_str() : nullptr); }

// The tests that change the zone run no other thread meanwhile, so the environment's calls race
// with nothing.
// NOLINTBEGIN(concurrency-mt-unsafe)
void ScopedTimeZone::set(const char* tz) {
  if (tz) {
    ::setenv("TZ", tz, 1);
  } else {
    ::unsetenv("TZ");
  }
}

std::optional<std::string> ScopedTimeZone::read() {
  const char* value = std::getenv("TZ");
  if (!value) return std::nullopt;
  return std::string(value);
}
// NOLINTEND(concurrency-mt-unsafe)

}  // namespace varn::platform::testing
