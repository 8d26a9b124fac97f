#include "shared/focus_schedule.h"

#include <nlohmann/json.hpp>

#include "platform/unicode.h"
#include "shared/json_reader.h"

namespace varn {
namespace {

std::optional<std::vector<Weekday>> readDays(JsonObjectReader& reader) {
  const std::optional<JsonValue> value = reader.required("days");
  if (!value) return std::nullopt;
  simdjson::dom::array array;
  if (value->get_array().get(array) != simdjson::SUCCESS) {
    reader.expected("days", "an array of weekday numbers", *value);
    return std::nullopt;
  }
  std::vector<Weekday> days;
  days.reserve(array.size());
  for (JsonValue item : array) {
    // Named only when something is wrong with the item: most files have nothing wrong.
    const auto key = [&] { return "days[" + std::to_string(days.size()) + "]"; };
    if (!isJsonInteger(item)) {
      reader.expected(key(), "a weekday number from 1 to 7", item);
      return std::nullopt;
    }
    std::optional<Weekday> day;
    if (std::optional<std::int64_t> number = jsonInteger(item)) day = weekdayFromRawValue(*number);
    if (!day) {
      std::int64_t signedNumber = 0;
      const std::string found = item.get_int64().get(signedNumber) == simdjson::SUCCESS
                                    ? std::to_string(signedNumber)
                                    : std::to_string(item.get_uint64().value_unsafe());
      reader.fail(key(), "weekday must be 1 to 7, found " + found);
      return std::nullopt;
    }
    days.push_back(*day);
  }
  return days;
}

std::int64_t positiveOrDefault(std::int64_t seconds) {
  return seconds > 0 ? seconds : kDefaultBreakDurationSeconds;
}

// "breakDurationSeconds" wins whenever it is there, even over a malformed
// "breakDurationMinutes": older files carry only the minutes.
std::int64_t readBreakDurationSeconds(JsonObjectReader& reader) {
  if (reader.optional("breakDurationSeconds")) {
    std::optional<std::int64_t> seconds = reader.optionalInteger("breakDurationSeconds");
    return seconds ? positiveOrDefault(*seconds) : kDefaultBreakDurationSeconds;
  }
  std::optional<std::int64_t> minutes = reader.optionalInteger("breakDurationMinutes");
  if (!minutes) return kDefaultBreakDurationSeconds;
  std::int64_t seconds = 0;
  if (__builtin_mul_overflow(*minutes, 60, &seconds)) {
    // No sensible length to settle on: refuse the file rather than guess.
    reader.fail("breakDurationMinutes",
                std::to_string(*minutes) + " minutes do not fit a 64-bit count of seconds");
    return kDefaultBreakDurationSeconds;
  }
  return positiveOrDefault(seconds);
}

Result<FocusSchedule> readFocusSchedule(JsonValue object, std::string path) {
  JsonObjectReader reader(object, std::move(path));
  FocusSchedule schedule;
  if (auto id = reader.uuid("id")) schedule.id = *id;
  if (auto name = reader.string("name")) schedule.name = std::move(*name);
  if (auto modeId = reader.uuid("modeId")) schedule.modeId = *modeId;
  if (auto days = readDays(reader)) schedule.days = std::move(*days);
  if (auto start = reader.integer("startMinutes")) schedule.startMinutes = *start;
  if (auto end = reader.integer("endMinutes")) schedule.endMinutes = *end;
  if (auto count = reader.integer("breakCount")) schedule.breakCount = *count;
  schedule.breakDurationSeconds = readBreakDurationSeconds(reader);
  if (auto enabled = reader.boolean("isEnabled")) schedule.isEnabled = *enabled;
  if (!reader.ok()) return reader.error();
  return schedule;
}

nlohmann::ordered_json writeFocusSchedule(const FocusSchedule& schedule) {
  nlohmann::ordered_json days = nlohmann::ordered_json::array();
  for (Weekday day : schedule.days) days.push_back(rawValue(day));
  return {
      {"id", schedule.id.toString()},
      {"name", schedule.name},
      {"modeId", schedule.modeId.toString()},
      {"days", std::move(days)},
      {"startMinutes", schedule.startMinutes},
      {"endMinutes", schedule.endMinutes},
      {"breakCount", schedule.breakCount},
      {"breakDurationSeconds", schedule.breakDurationSeconds},
      {"isEnabled", schedule.isEnabled},
  };
}

}  // namespace

bool operator==(const FocusSchedule& a, const FocusSchedule& b) {
  return a.id == b.id && platform::canonicallyEqual(a.name, b.name) && a.modeId == b.modeId &&
         a.days == b.days && a.startMinutes == b.startMinutes && a.endMinutes == b.endMinutes &&
         a.breakCount == b.breakCount && a.breakDurationSeconds == b.breakDurationSeconds &&
         a.isEnabled == b.isEnabled;
}

Result<std::vector<FocusSchedule>> decodeFocusSchedules(std::string_view bytes) {
  return decodeJsonArray<FocusSchedule>(bytes, "schedules", readFocusSchedule);
}

std::string encodeFocusSchedules(const std::vector<FocusSchedule>& schedules) {
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const FocusSchedule& schedule : schedules) array.push_back(writeFocusSchedule(schedule));
  // A name built in code could hold invalid UTF-8 (a decoded one cannot); replacing it keeps
  // the writer from throwing.
  return array.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace varn
