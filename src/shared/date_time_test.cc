#include "shared/date_time.h"

#include <gtest/gtest.h>

namespace varn {
namespace {

using namespace std::chrono;
using platform::Instant;

TEST(InternetDateTime, ReadsRfc3339Forms) {
  const Instant base(sys_days(year(2026) / 3 / 2) + hours(17) + minutes(30));
  const struct {
    const char* text;
    Instant expected;
  } cases[] = {
      {"2026-03-02T17:30:00Z", base},
      {"2026-03-02T17:30:00.5Z", base + milliseconds(500)},
      {"2026-03-02T17:30:00.123456789Z", base + nanoseconds(123456789)},
      {"2026-03-02T17:30:00.1234567891Z", base + nanoseconds(123456789)},
      {"2026-03-02T18:30:00+01:00", base},
      {"2026-03-02T12:00:00-05:30", base},
      {"1970-01-01T00:00:00Z", Instant{}},
      {"1960-01-01T00:00:00.250Z", Instant(sys_days(year(1960) / 1 / 1)) + milliseconds(250)},
      {"2024-02-29T00:00:00Z", Instant(sys_days(year(2024) / 2 / 29))},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseInternetDateTime(c.text), c.expected) << c.text;
  }
}

TEST(InternetDateTime, RejectsEverythingElse) {
  for (const char* text : {"",
                           "2026-03-02",
                           "2026-03-02 17:30:00Z",
                           "2026-03-02T17:30:00",
                           "2026-3-02T17:30:00Z",
                           "2026-03-02T17:30Z",
                           "2026-03-02T17:30:00z ",
                           "2026-03-02T17:30:00.Z",
                           "2026-02-29T00:00:00Z",
                           "2026-13-01T00:00:00Z",
                           "2026-03-02T24:00:00Z",
                           "2026-03-02T17:60:00Z",
                           "2026-03-02T17:30:60Z",
                           "2026-03-02T17:30:00+1:00",
                           "2026-03-02T17:30:00+01:60",
                           "2026-03-02T17:30:00Zjunk",
                           "+2026-03-02T17:30:00Z",
                           "9999-12-31T23:59:59Z",
                           "1600-01-01T00:00:00Z",
                           "0000-01-01T00:00:00Z"}) {
    EXPECT_FALSE(parseInternetDateTime(text).has_value()) << text;
  }
}

TEST(InternetDateTime, WritesUtcWholeSecondsTruncatingFractions) {
  const Instant t(sys_days(year(2026) / 3 / 2) + hours(17) + minutes(30) + milliseconds(750));
  EXPECT_EQ(formatInternetDateTime(t), "2026-03-02T17:30:00Z");
  EXPECT_EQ(describeDate(t), "2026-03-02 17:30:00 +0000");
  // Before 1970 the seconds still go down, not towards zero.
  EXPECT_EQ(formatInternetDateTime(Instant{} - milliseconds(1)), "1969-12-31T23:59:59Z");
}

}  // namespace
}  // namespace varn
