#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace varn {

// Reads an RFC 3339 internet date-time: "2026-03-02T17:30:00Z", optionally with a fraction of a
// second ("17:30:00.750Z") and a numeric offset instead of Z ("+01:00"). Nothing for any other
// text, an impossible date or time, a leap second, or an instant outside the range an Instant
// can hold (about the years 1678 to 2261).
std::optional<platform::Instant> parseInternetDateTime(std::string_view text);

// "2026-03-02T17:30:00Z": UTC, whole seconds (a fraction is truncated, also before 1970).
std::string formatInternetDateTime(platform::Instant instant);

// "2026-03-02T18:30:00+01:00": the local time `offset` ahead of UTC (see Calendar::utcOffset),
// whole seconds, with that offset ("+00:00" for none).
std::string formatInternetDateTime(platform::Instant instant, std::chrono::seconds offset);

// The platform's default description of a date: "2026-03-02 17:30:00 +0000".
std::string describeDate(platform::Instant instant);

}  // namespace varn
