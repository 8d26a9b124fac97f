#include "shared/blocking_rules.h"

#include <gtest/gtest.h>

#include <chrono>

#include "shared/date_time.h"

namespace varn {
namespace {

using namespace std::chrono;
using platform::Instant;

constexpr const char* kId = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";

Instant at(int h, int m, int s) {
  return Instant(sys_days(year(2026) / 3 / 2) + hours(h) + minutes(m) + seconds(s));
}

std::string record(std::string_view replaceKey = "", std::string_view value = "") {
  // A valid record; one key's value can be swapped, or the key dropped (empty value).
  const std::pair<std::string_view, std::string> fields[] = {
      {"sessionId", std::string("\"") + kId + "\""},
      {"mode", "\"block\""},
      {"hosts", "[\"example.com\"]"},
      {"endsAt", "\"2026-03-02T17:30:00Z\""},
      {"allowedSigningIds", "[\"com.tinyspeck.slackmacgap\"]"},
  };
  std::string out = "{";
  for (const auto& [key, v] : fields) {
    std::string_view use = key == replaceKey ? value : std::string_view(v);
    if (use.empty()) continue;
    if (out.size() > 1) out += ',';
    out += "\"" + std::string(key) + "\":" + std::string(use);
  }
  return out + "}";
}

TEST(BlockingRulesJson, ReadsAValidRecord) {
  Result<BlockingRules> r = decodeBlockingRules(record());
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(r.value().sessionId.toString(), kId);
  EXPECT_EQ(r.value().mode, BlockingRules::Mode::block);
  EXPECT_EQ(r.value().hosts, std::vector<std::string>{"example.com"});
  EXPECT_EQ(r.value().endsAt, at(17, 30, 0));
  EXPECT_EQ(r.value().allowedSigningIds, std::vector<std::string>{"com.tinyspeck.slackmacgap"});
}

TEST(BlockingRulesJson, AllowedSigningIdsAbsentOrNullReadAsEmptyAndAreWrittenBack) {
  for (std::string_view value : {"", "null"}) {
    Result<BlockingRules> r = decodeBlockingRules(record("allowedSigningIds", value));
    ASSERT_TRUE(r.ok()) << value << ": " << r.error().message;
    EXPECT_TRUE(r.value().allowedSigningIds.empty());
    EXPECT_NE(encodeBlockingRules(r.value()).find("\"allowedSigningIds\":[]"), std::string::npos);
  }
}

TEST(BlockingRulesJson, RejectsRecordsWithAFaultAndNamesIt) {
  const struct {
    const char* why;
    std::string json;
    const char* inMessage;
  } cases[] = {
      {"empty file", "", "not valid JSON"},
      {"empty array", "[]", "expected an object, found an array"},
      {"empty object", "{}", "sessionId: required key is missing"},
      {"not JSON", "block", "not valid JSON"},
      {"mode is case-sensitive", record("mode", "\"Block\""),
       "mode: expected \"block\" or \"allow\", found string \"Block\""},
      {"a focus mode type is not a rules mode", record("mode", "\"mission\""), "mode: expected"},
      {"blank around mode", record("mode", "\" block\""), "mode: expected"},
      {"hosts missing", record("hosts", ""), "hosts: required key is missing"},
      {"hosts null", record("hosts", "null"), "hosts: required key is null"},
      {"host not a string", record("hosts", "[\"a\",1]"),
       "hosts[1]: expected a string, found number 1"},
      {"sessionId not a UUID", record("sessionId", "\"E621E1F8C36C495A93FC0C247A3E6E5F\""),
       "sessionId: expected a UUID"},
      {"sessionId with trailing text", record("sessionId", std::string("\"") + kId + "x\""),
       "sessionId: expected a UUID"},
      {"endsAt not a date", record("endsAt", "\"tomorrow\""), "endsAt: expected a date-time"},
      {"endsAt as a number", record("endsAt", "1772472600"), "found number 1772472600"},
      {"allowedSigningIds of numbers", record("allowedSigningIds", "[1]"),
       "allowedSigningIds[0]: expected a string"},
      {"invalid UTF-8", record("hosts", "[\"\xff\"]"), "not valid JSON"},
      {"a megabyte of '['", std::string(1 << 20, '['), "nested more than 128 levels deep"},
  };
  for (const auto& c : cases) {
    Result<BlockingRules> r = decodeBlockingRules(c.json);
    ASSERT_FALSE(r.ok()) << c.why;
    EXPECT_NE(r.error().message.find(c.inMessage), std::string::npos)
        << c.why << ": " << r.error().message;
  }
}

TEST(BlockingRulesJson, ReportsTheFirstFaultInKeyOrder) {
  Result<BlockingRules> r = decodeBlockingRules(R"({"mode":"Block","hosts":3})");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "sessionId: required key is missing");
}

TEST(BlockingRulesJson, WritesCompactUpperCaseWholeSecondsAndDropsUnknownKeys) {
  Result<BlockingRules> r = decodeBlockingRules(
      R"({"sessionId":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","mode":"allow","hosts":[],)"
      R"("endsAt":"2026-03-02T17:30:00.750Z","extra":{"a":1}})");
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(r.value().endsAt, at(17, 30, 0) + milliseconds(750));
  const std::string written = encodeBlockingRules(r.value());
  EXPECT_EQ(written,
            R"({"allowedSigningIds":[],"endsAt":"2026-03-02T17:30:00Z","hosts":[],"mode":"allow",)"
            R"("sessionId":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"})");
  Result<BlockingRules> again = decodeBlockingRules(written);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value().endsAt, at(17, 30, 0));
}

TEST(BlockingRulesJson, KeepsTextThatNeedsEscapingIntact) {
  BlockingRules rules{platform::Uuid::random(),
                      BlockingRules::Mode::block,
                      {"a\"b", "line\nbreak", "caf\xc3\xa9", ""},
                      at(1, 2, 3),
                      {"x/y"}};
  const std::string written = encodeBlockingRules(rules);
  EXPECT_EQ(written.find('\n'), std::string::npos);
  Result<BlockingRules> back = decodeBlockingRules(written);
  ASSERT_TRUE(back.ok()) << back.error().message;
  EXPECT_EQ(back.value().hosts, rules.hosts);
  EXPECT_EQ(back.value().allowedSigningIds, rules.allowedSigningIds);
  EXPECT_EQ(back.value().sessionId, rules.sessionId);
}

TEST(BlockingRulesExpiry, IsActiveUpToAndIncludingEndsAtAtFullPrecision) {
  BlockingRules rules;
  rules.endsAt = at(17, 30, 0);
  EXPECT_TRUE(rules.isActive(at(17, 29, 59)));
  EXPECT_TRUE(rules.isActive(at(17, 30, 0)));
  EXPECT_FALSE(rules.isActive(at(17, 30, 0) + milliseconds(1)));
  EXPECT_FALSE(rules.isActive(at(17, 30, 0) + nanoseconds(1)));
}

}  // namespace
}  // namespace varn
