#include "shared/json_reader.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "shared/blocking_rules.h"
#include "shared/focus_schedule.h"
#include "shared/mode.h"

namespace varn {
namespace {

std::string nestedArrays(size_t depth, std::string_view inner = "") {
  return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
}

std::string nestedObjects(size_t depth) {
  std::string out;
  for (size_t i = 0; i < depth; ++i) out += "{\"a\":";
  return out + "1" + std::string(depth, '}');
}

TEST(JsonNesting, AcceptsDocumentsUpToTheLimitAndRefusesDeeperOnes) {
  const std::string deepString = "\"" + std::string(200, '[') + "\"";
  enum class Outcome { accepted, tooDeep, malformed };
  using enum Outcome;
  const struct {
    const char* why;
    std::string json;
    Outcome outcome;
  } cases[] = {
      {"arrays at the limit", nestedArrays(kJsonNestingLimit), accepted},
      {"arrays one deeper", nestedArrays(kJsonNestingLimit + 1), tooDeep},
      // The number inside the innermost object is a level of its own.
      {"objects with a number at the limit", nestedObjects(kJsonNestingLimit - 1), accepted},
      {"objects with a number one deeper", nestedObjects(kJsonNestingLimit), tooDeep},
      {"arrays with a string one deeper", nestedArrays(kJsonNestingLimit, "\"\""), tooDeep},
      {"many shallow siblings", "[" + std::string(10'000, ' ') + "[],[[]],{},[{}]]", accepted},
      {"brackets inside a string", "[" + deepString + "]", accepted},
      {"brackets after an escaped quote", "[\"\\\"" + std::string(200, '{') + "\"]", accepted},
      {"deep arrays after an escaped backslash",
       "[\"\\\\\"," + nestedArrays(kJsonNestingLimit) + "]", tooDeep},
      // Malformed at the limit: the fault is the syntax, not the depth.
      {"malformed arrays at the limit", nestedArrays(kJsonNestingLimit) + ",", malformed},
  };
  for (const auto& c : cases) {
    Result<JsonDocument> parsed = parseJson(c.json);
    EXPECT_EQ(parsed.ok(), c.outcome == accepted) << c.why;
    if (!parsed.ok()) {
      EXPECT_EQ(parsed.error().message == "not valid JSON: values nested more than 128 levels deep",
                c.outcome == tooDeep)
          << c.why << ": " << parsed.error().message;
    }
  }
}

// Malformed documents are refused with a message that says where the fault is, so that someone
// repairing the file by hand can find it.
TEST(JsonParsing, RefusesMalformedDocumentsSayingWhere) {
  const struct {
    std::string json;
    const char* says;
  } cases[] = {
      {"", "not valid JSON: "},
      {"[1,]", "line 1, column 4"},
      {"{\"a\": 1}\n x", "line 2, column 2"},
      {"[\"a\tb\"]", "line 1, column 4"},  // control character inside a string
      {"[\"\\ud800\"]", "surrogate"},      // lone surrogate escape
      {"[\"\xC3\x28\"]", "ill-formed UTF-8"},
      {"[1e400]", "number overflow"},
      {"[01]", "line 1, column 3"},
      {std::string("{}\0{}", 5), "a NUL byte at offset 2"},
      // The one document nlohmann would take: an integer beyond 64 bits.
      {"[{\"x\": 99999999999999999999999}]", "not valid JSON: "},
  };
  for (const auto& c : cases) {
    Result<JsonDocument> parsed = parseJson(c.json);
    ASSERT_FALSE(parsed.ok()) << c.json;
    EXPECT_TRUE(parsed.error().message.starts_with("not valid JSON: ")) << parsed.error().message;
    EXPECT_NE(parsed.error().message.find(c.says), std::string::npos)
        << c.json << " -> " << parsed.error().message;
  }
}

TEST(JsonObjectReader, TakesTheLastOfTwoEqualKeysAndTellsMissingFromNull) {
  Result<JsonDocument> parsed =
      parseJson(R"({"name": "first", "name": "second", "empty": null, "n": 1.0})");
  ASSERT_TRUE(parsed.ok()) << parsed.error().message;
  JsonObjectReader reader(parsed.value().root(), "[3]");
  EXPECT_EQ(reader.string("name"), "second");
  EXPECT_FALSE(reader.optionalInteger("empty").has_value());
  EXPECT_FALSE(reader.optionalInteger("absent").has_value());
  ASSERT_TRUE(reader.ok());
  EXPECT_FALSE(reader.integer("n").has_value());
  EXPECT_EQ(reader.error().message,
            "[3].n: expected a whole number in the signed 64-bit range, found number 1.0");

  JsonObjectReader nulls(parsed.value().root(), "");
  EXPECT_FALSE(nulls.string("empty").has_value());
  EXPECT_EQ(nulls.error().message, "empty: required key is null");
  JsonObjectReader missing(parsed.value().root(), "");
  EXPECT_FALSE(missing.boolean("absent").has_value());
  EXPECT_EQ(missing.error().message, "absent: required key is missing");
}

// The largest files the stores read, all brackets: refused before the parser builds a value per
// level, whose memory would be many times the file's size.
TEST(JsonNesting, DecodersRefuseTheDeepestFilesTheStoresWouldRead) {
  const std::string rules(platform::kRulesFileSizeLimit, '[');
  const std::string userData = nestedArrays(platform::kUserDataFileSizeLimit / 2);
  const std::string expected = "nested more than 128 levels deep";

  Result<BlockingRules> r = decodeBlockingRules(rules);
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error().message.find(expected), std::string::npos) << r.error().message;
  Result<std::vector<Mode>> m = decodeModes(userData);
  ASSERT_FALSE(m.ok());
  EXPECT_NE(m.error().message.find(expected), std::string::npos) << m.error().message;
  Result<std::vector<FocusSchedule>> s = decodeFocusSchedules(userData);
  ASSERT_FALSE(s.ok());
  EXPECT_NE(s.error().message.find(expected), std::string::npos) << s.error().message;
}

}  // namespace
}  // namespace varn
