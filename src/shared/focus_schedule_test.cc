#include "shared/focus_schedule.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <nlohmann/json.hpp>

namespace varn {

// Failed comparisons show the schedule as its file form.
void PrintTo(const FocusSchedule& schedule, std::ostream* out) {
  *out << encodeFocusSchedules({schedule});
}

namespace {

using nlohmann::json;

constexpr const char* kId = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
constexpr const char* kModeId = "6BA7B810-9DAD-11D1-80B4-00C04FD430C8";
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();

json validObject() {
  return {{"id", kId},       {"name", "Deep work"},         {"modeId", kModeId},
          {"days", {2, 3}},  {"startMinutes", 540},         {"endMinutes", 720},
          {"breakCount", 2}, {"breakDurationSeconds", 120}, {"isEnabled", true}};
}

// A one-schedule file: the valid object changed by `change`.
std::string fileWith(const std::function<void(json&)>& change) {
  json object = validObject();
  change(object);
  return json::array({object}).dump();
}

void minutesOnly(json& object, const json& minutes) {
  object.erase("breakDurationSeconds");
  object["breakDurationMinutes"] = minutes;
}

TEST(FocusScheduleJson, ReadsEveryFieldAndIgnoresUnknownKeys) {
  Result<std::vector<FocusSchedule>> read = decodeFocusSchedules(fileWith([](json& o) {
    o["id"] = "e621e1f8-c36c-495a-93fc-0c247a3e6e5f";  // either case is read
    o["days"] = {1, 7, 7};
    o["startMinutes"] = kInt64Min;  // no range is enforced on the minutes
    o["endMinutes"] = kInt64Max;
    o["colour"] = "teal";
  }));
  ASSERT_TRUE(read.ok()) << read.error().message;
  ASSERT_EQ(read.value().size(), 1u);
  const FocusSchedule expected{*platform::Uuid::parse(kId),
                               "Deep work",
                               *platform::Uuid::parse(kModeId),
                               {Weekday::sunday, Weekday::saturday, Weekday::saturday},
                               kInt64Min,
                               kInt64Max,
                               2,
                               120,
                               true};
  EXPECT_EQ(read.value()[0], expected);
}

TEST(FocusScheduleJson, SettlesTheBreakLength) {
  const json absent(json::value_t::discarded);  // the key is not written
  const struct {
    const char* why;
    json seconds;
    json minutes;
    std::int64_t expected;
  } cases[] = {
      {"seconds win over minutes", 120, 10, 120},
      {"zero seconds", 0, absent, 300},
      {"negative seconds", -5, absent, 300},
      {"neither key", absent, absent, 300},
      {"minutes only", absent, 10, 600},
      {"zero minutes", absent, 0, 300},
      {"negative minutes", absent, -1, 300},
      {"null seconds fall back to minutes", nullptr, 2, 120},
      {"both null", nullptr, nullptr, 300},
      {"malformed minutes unread beside seconds", 45, "ten", 45},
      {"largest minutes that fit", absent, kInt64Max / 60, kInt64Max / 60 * 60},
      {"most negative minutes that fit", absent, kInt64Min / 60, 300},
  };
  for (const auto& c : cases) {
    const std::string file = fileWith([&](json& o) {
      o.erase("breakDurationSeconds");
      if (!c.seconds.is_discarded()) o["breakDurationSeconds"] = c.seconds;
      if (!c.minutes.is_discarded()) o["breakDurationMinutes"] = c.minutes;
    });
    Result<std::vector<FocusSchedule>> read = decodeFocusSchedules(file);
    ASSERT_TRUE(read.ok()) << c.why << ": " << read.error().message;
    EXPECT_EQ(read.value()[0].breakDurationSeconds, c.expected) << c.why;
  }
}

TEST(FocusScheduleJson, RefusesFilesWithAFaultyObjectNamingTheFirstFault) {
  using Change = std::function<void(json&)>;
  const struct {
    const char* why;
    Change change;
    const char* error;
  } cases[] = {
      // Missing or null required keys.
      {"no isEnabled", [](json& o) { o.erase("isEnabled"); },
       "[0].isEnabled: required key is missing"},
      {"no breakCount", [](json& o) { o.erase("breakCount"); },
       "[0].breakCount: required key is missing"},
      {"null name", [](json& o) { o["name"] = nullptr; }, "[0].name: required key is null"},
      // Wrong JSON types.
      {"integer as decimal", [](json& o) { o["startMinutes"] = 10.0; },
       "[0].startMinutes: expected a whole number in the signed 64-bit range, found number 10.0"},
      {"integer as text", [](json& o) { o["endMinutes"] = "720"; },
       "[0].endMinutes: expected a whole number in the signed 64-bit range, found string \"720\""},
      {"integer beyond 64 bits", [](json& o) { o["endMinutes"] = 9223372036854775808u; },
       "[0].endMinutes: expected a whole number in the signed 64-bit range, found number "
       "9223372036854775808"},
      {"boolean as number", [](json& o) { o["isEnabled"] = 1; },
       "[0].isEnabled: expected true or false, found number 1"},
      {"days not an array", [](json& o) { o["days"] = 2; },
       "[0].days: expected an array of weekday numbers, found number 2"},
      {"day as text", [](json& o) { o["days"] = {"2"}; },
       "[0].days[0]: expected a weekday number from 1 to 7, found string \"2\""},
      {"seconds as text, whatever the minutes",
       [](json& o) {
         o["breakDurationSeconds"] = "120";
         o["breakDurationMinutes"] = 10;
       },
       "[0].breakDurationSeconds: expected a whole number in the signed 64-bit range, found "
       "string \"120\""},
      {"minutes as text", [](json& o) { minutesOnly(o, "2"); },
       "[0].breakDurationMinutes: expected a whole number in the signed 64-bit range, found "
       "string \"2\""},
      // Values out of their range.
      {"day 0", [](json& o) { o["days"] = {0}; }, "[0].days[0]: weekday must be 1 to 7, found 0"},
      {"day 8 after a good one",
       [](json& o) {
         o["days"] = {1, 8};
       },
       "[0].days[1]: weekday must be 1 to 7, found 8"},
      {"negative day", [](json& o) { o["days"] = {-3}; },
       "[0].days[0]: weekday must be 1 to 7, found -3"},
      {"id not a UUID", [](json& o) { o["id"] = "{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}"; },
       "[0].id: expected a UUID like \"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\", found string "
       "\"{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}\""},
      {"minutes times 60 overflow", [](json& o) { minutesOnly(o, kInt64Max / 60 + 1); },
       "[0].breakDurationMinutes: 153722867280912931 minutes do not fit a 64-bit count of seconds"},
      {"negative minutes times 60 overflow", [](json& o) { minutesOnly(o, kInt64Min); },
       "[0].breakDurationMinutes: -9223372036854775808 minutes do not fit a 64-bit count of "
       "seconds"},
      // Several faults: the first in key order wins.
      {"bad day before missing isEnabled",
       [](json& o) {
         o.erase("isEnabled");
         o["days"] = {9};
       },
       "[0].days[0]: weekday must be 1 to 7, found 9"},
  };
  for (const auto& c : cases) {
    Result<std::vector<FocusSchedule>> read = decodeFocusSchedules(fileWith(c.change));
    ASSERT_FALSE(read.ok()) << c.why;
    EXPECT_EQ(read.error().message, c.error) << c.why;
  }
}

TEST(FocusScheduleJson, ReportsTheFirstFaultyObjectByPosition) {
  json faulty = validObject();
  faulty["days"] = {8};
  const json file = json::array({validObject(), validObject(), faulty, faulty});
  Result<std::vector<FocusSchedule>> read = decodeFocusSchedules(file.dump());
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().message, "[2].days[0]: weekday must be 1 to 7, found 8");
}

}  // namespace
}  // namespace varn
