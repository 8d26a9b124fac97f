#include "shared/date_time.h"

#include <date/date.h>

#include <cstdint>
#include <cstdio>
#include <limits>

namespace varn {
namespace {

using namespace std::chrono;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads `count` digits at `pos` into `out`; false when any is not a digit.
bool digits(std::string_view text, size_t pos, size_t count, int& out) {
  if (pos + count > text.size()) return false;
  out = 0;
  for (size_t i = 0; i < count; ++i) {
    if (!isDigit(text[pos + i])) return false;
    out = out * 10 + (text[pos + i] - '0');
  }
  return true;
}

std::string format(platform::Instant instant, const char* pattern) {
  const auto secs = floor<seconds>(instant);
  const auto day = floor<date::days>(secs);
  const date::year_month_day ymd(day);
  const date::hh_mm_ss<seconds> time(secs - day);
  char buffer[48];
  // Nanosecond instants stay within years 1677 to 2262, so both patterns always fit.
  (void)std::snprintf(buffer, sizeof buffer, pattern, int(ymd.year()), unsigned(ymd.month()),
                      unsigned(ymd.day()), int(time.hours().count()), int(time.minutes().count()),
                      int(time.seconds().count()));
  return buffer;
}

}  // namespace

std::optional<platform::Instant> parseInternetDateTime(std::string_view text) {
  // date-time = full-date "T" full-time; full-time = hh:mm:ss [.fraction] ("Z" / +hh:mm / -hh:mm)
  int y, mo, d, h, mi, s;
  if (!digits(text, 0, 4, y) || text.size() < 20 || text[4] != '-' || !digits(text, 5, 2, mo) ||
      text[7] != '-' || !digits(text, 8, 2, d) || text[10] != 'T' || !digits(text, 11, 2, h) ||
      text[13] != ':' || !digits(text, 14, 2, mi) || text[16] != ':' || !digits(text, 17, 2, s)) {
    return std::nullopt;
  }
  size_t pos = 19;
  nanoseconds fraction{0};
  if (text[pos] == '.') {
    ++pos;
    const size_t start = pos;
    std::int64_t scale = 100'000'000;
    while (pos < text.size() && isDigit(text[pos])) {
      fraction += nanoseconds((text[pos] - '0') * scale);  // digits past nanoseconds are dropped
      scale /= 10;
      ++pos;
    }
    if (pos == start) return std::nullopt;
  }
  if (pos >= text.size()) return std::nullopt;
  minutes offset{0};
  if (text[pos] == 'Z') {
    ++pos;
  } else if (text[pos] == '+' || text[pos] == '-') {
    int oh, om;
    if (!digits(text, pos + 1, 2, oh) || pos + 3 >= text.size() || text[pos + 3] != ':' ||
        !digits(text, pos + 4, 2, om) || oh > 23 || om > 59) {
      return std::nullopt;
    }
    offset = hours(oh) + minutes(om);
    if (text[pos] == '-') offset = -offset;
    pos += 6;
  } else {
    return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;

  const date::year_month_day ymd{date::year(y), date::month(unsigned(mo)), date::day(unsigned(d))};
  if (!ymd.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;

  // Whole seconds first, in 64-bit seconds, so that the range check below cannot overflow.
  const seconds local =
      date::sys_days(ymd).time_since_epoch() + hours(h) + minutes(mi) + seconds(s);
  const seconds utc = local - offset;
  constexpr auto kLimit = duration_cast<seconds>(nanoseconds::max()) - seconds(1);
  if (utc > kLimit || utc < -kLimit) return std::nullopt;
  return platform::Instant(duration_cast<nanoseconds>(utc) + fraction);
}

std::string formatInternetDateTime(platform::Instant instant) {
  return format(instant, "%04d-%02u-%02uT%02d:%02d:%02dZ");
}

std::string formatInternetDateTime(platform::Instant instant, seconds offset) {
  const seconds magnitude = offset < seconds(0) ? -offset : offset;
  char zone[8];
  (void)std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < seconds(0) ? '-' : '+',
                      int(magnitude.count() / 3600), int(magnitude.count() / 60 % 60));
  return format(instant + offset, "%04d-%02u-%02uT%02d:%02d:%02d") + zone;
}

std::string describeDate(platform::Instant instant) {
  return format(instant, "%04d-%02u-%02u %02d:%02d:%02d +0000");
}

}  // namespace varn
