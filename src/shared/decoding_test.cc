#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/files.h"
#include "shared/blocking_rules.h"
#include "shared/date_time.h"
#include "shared/focus_schedule.h"
#include "shared/json_document.h"
#include "shared/mode.h"
#include "support/case_table.h"

namespace varn {
namespace {

using nlohmann::json;

// The valid record of each kind that the cases of decoding_cases.tsv change.
json validRecord(std::string_view kind) {
  if (kind == "rules") {
    return json::parse(R"({"sessionId":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","mode":"block",
      "hosts":["example.com"],"endsAt":"2026-03-02T17:30:00Z","allowedSigningIds":["com.a.b"]})");
  }
  if (kind == "modes") {
    return json::parse(R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"Writing",
      "icon":"pencil","type":"mission","sites":["docs.example.com","https://example.org:8443/p"],
      "apps":["com.example.editor"],"isDefault":false})");
  }
  return json::parse(R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"Deep work",
    "modeId":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8","days":[2,3],"startMinutes":540,
    "endMinutes":720,"breakCount":2,"breakDurationSeconds":120,"isEnabled":true})");
}

// "file:" and the text ("@": the valid record); "json" cases as written; otherwise the valid
// record with keys dropped ("-key"), then others set.
std::string fileOf(const std::string& kind, std::string_view input) {
  json record = validRecord(kind);
  if (input.starts_with("file:")) {
    std::string file;
    for (char c : input.substr(5)) file += c == '@' ? record.dump() : std::string(1, c);
    return file;
  }
  if (kind == "json") return std::string(input);
  while (input.starts_with('-')) {
    const size_t end = std::min(input.find(' '), input.size());
    record.erase(std::string(input.substr(1, end - 1)));
    input.remove_prefix(std::min(end + 1, input.size()));
  }
  if (!input.empty()) record.update(json::parse(input));
  return kind == "rules" ? record.dump() : json::array({record}).dump();
}

std::string nothing(const JsonDocument&) { return ""; }

Result<std::string> rewrite(const std::string& kind, std::string_view file) {
  const auto again = [](const auto& decode, const auto& encode, std::string_view text) {
    auto read = decode(text);
    if (!read.ok()) return Result<std::string>(read.error());
    const std::string written = encode(read.value());
    if constexpr (requires { read.value() == read.value(); }) {
      auto reread = decode(written);
      EXPECT_TRUE(reread.ok() && reread.value() == read.value()) << written;
    }
    return Result<std::string>(written);
  };
  if (kind == "json") return again(parseJson, nothing, file);
  if (kind == "rules") return again(decodeBlockingRules, encodeBlockingRules, file);
  if (kind == "modes") return again(decodeModes, encodeModes, file);
  return again(decodeFocusSchedules, encodeFocusSchedules, file);
}

TEST(Decoding, ReadsOrRefusesEachFileOfTheTable) {
  for (const support::Case& c : support::readCases("src/shared/decoding_cases.tsv", 3)) {
    const std::string& expected = c.fields[2];
    Result<std::string> written = rewrite(c.fields[0], fileOf(c.fields[0], c.fields[1]));
    const std::string got = written.ok() ? "ok " + written.value() : written.error().message;
    if (expected.starts_with("= ")) {
      EXPECT_EQ(got, "ok " + expected.substr(2)) << c.where;
    } else if (!expected.starts_with("ok") || !written.ok()) {
      EXPECT_TRUE(!written.ok() && !expected.starts_with("ok") &&
                  got.find(expected) != std::string::npos)
          << c.where << ": " << got;
    } else if (expected != "ok") {
      // The fields named, as written (null: not written), of the first record of a list.
      json record = json::parse(written.value());
      if (record.is_array()) record = record.at(0);
      const json fields = json::parse(expected.substr(3));
      for (const auto& [key, value] : fields.items()) {
        EXPECT_EQ(record.value(key, json()), value) << c.where << ": " << key;
      }
    }
  }
}

std::string repeat(std::string_view text, size_t times) {
  std::string out;
  while (times-- > 0) out += text;
  return out;
}

TEST(Decoding, RefusesNestingBeyondTheLimitAndNamesOtherFaults) {
  const size_t limit = kJsonNestingLimit;
  const std::string tooDeep = "not valid JSON: values nested more than 128 levels deep";
  const std::string arrays = repeat("[", limit) + repeat("]", limit);
  const struct {
    std::string text;
    std::string error;  // empty: accepted
  } cases[] = {
      {arrays, ""},
      {"[" + arrays + "]", tooDeep},
      // The number inside the innermost object is a level of its own.
      {repeat("{\"a\":", limit - 1) + "1" + repeat("}", limit - 1), ""},
      {repeat("{\"a\":", limit) + "1" + repeat("}", limit), tooDeep},
      {"[\"" + repeat("[", 200) + "\"]", ""},      // brackets in a string do not count
      {"[\"\\\"" + repeat("{", 200) + "\"]", ""},  // nor after an escaped quote
      {"[\"\\\\\"," + arrays + "]", tooDeep},      // an escaped backslash ends no string
      {arrays + ",", "not valid JSON: parse error at line 1, column 257"},  // malformed, not deep
      // The largest files the stores read, all brackets: refused before the parser builds them.
      {std::string(platform::kRulesFileSizeLimit, '['), tooDeep},
      {std::string(platform::kUserDataFileSizeLimit / 2, '[') +
           std::string(platform::kUserDataFileSizeLimit / 2, ']'),
       tooDeep},
      {std::string("{}\0{}", 5), "not valid JSON: a NUL byte at offset 2"},
      {"[\"\xC3\x28\"]", "ill-formed UTF-8"},
  };
  for (const auto& c : cases) {
    Result<JsonDocument> parsed = parseJson(c.text);
    const std::string got = parsed.ok() ? "" : parsed.error().message;
    EXPECT_TRUE(c.error.empty() ? parsed.ok() : got.find(c.error) != std::string::npos)
        << c.text.substr(0, 60) << ": " << got;
  }
}

TEST(Decoding, ReadsTheRfc3339DateFormsAndWritesUtcWholeSeconds) {
  using namespace std::chrono;
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
