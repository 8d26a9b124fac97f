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
  const struct {
    const char* why;
    std::string json;
    bool accepted;
  } cases[] = {
      {"arrays at the limit", nestedArrays(kJsonNestingLimit), true},
      {"arrays one deeper", nestedArrays(kJsonNestingLimit + 1), false},
      {"objects at the limit", nestedObjects(kJsonNestingLimit), true},
      {"objects one deeper", nestedObjects(kJsonNestingLimit + 1), false},
      {"many shallow siblings", "[" + std::string(10'000, ' ') + "[],[[]],{},[{}]]", true},
      {"brackets inside a string", "[" + deepString + "]", true},
      {"brackets after an escaped quote", "[\"\\\"" + std::string(200, '{') + "\"]", true},
      {"deep arrays after an escaped backslash",
       "[\"\\\\\"," + nestedArrays(kJsonNestingLimit) + "]", false},
  };
  for (const auto& c : cases) {
    Result<nlohmann::json> parsed = parseJson(c.json);
    EXPECT_EQ(parsed.ok(), c.accepted) << c.why;
    if (!c.accepted && !parsed.ok()) {
      EXPECT_EQ(parsed.error().message,
                "not valid JSON: arrays and objects nested more than 128 levels deep")
          << c.why;
    }
  }
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
