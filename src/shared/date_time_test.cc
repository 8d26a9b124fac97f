#include "shared/date_time.h"

#include <gtest/gtest.h>

#include "support/case_table.h"

namespace varn {
namespace {

using namespace std::chrono;

TEST(InternetDateTime, ReadsTheRfc3339FormsAndWritesUtcWholeSeconds) {
  for (const support::Case& c : support::readCases("src/shared/date_time_cases.tsv", 2)) {
    const std::optional<platform::Instant> read = parseInternetDateTime(c.fields[0]);
    // The seconds are floored, also before 1970, so the nanoseconds past them are never negative.
    const std::string got = read ? formatInternetDateTime(*read) + " " +
                                       std::to_string((*read - floor<seconds>(*read)).count())
                                 : "-";
    EXPECT_EQ(got, c.fields[1]) << c.where;
  }
  const platform::Instant t = *parseInternetDateTime("2026-03-02T17:30:00.750Z");
  EXPECT_EQ(describeDate(t), "2026-03-02 17:30:00 +0000");
}

}  // namespace
}  // namespace varn
