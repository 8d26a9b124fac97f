#include "shared/mode.h"

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

namespace varn {

// Failed comparisons show the mode as its file form.
void PrintTo(const Mode& mode, std::ostream* out) { *out << encodeModes({mode}); }

namespace {

using nlohmann::json;

constexpr const char* kId = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";

json validObject() {
  return {{"id", kId},
          {"name", "Writing"},
          {"icon", "pencil"},
          {"type", "mission"},
          {"sites", {"docs.example.com", "https://example.org:8443/path"}},
          {"apps", {"com.example.editor"}},
          {"isDefault", false}};
}

std::string fileWith(const std::function<void(json&)>& change) {
  json object = validObject();
  change(object);
  return json::array({object}).dump();
}

TEST(ModeJson, ReadsEveryFieldAndIgnoresUnknownKeys) {
  Result<std::vector<Mode>> read = decodeModes(fileWith([](json& o) {
    o["id"] = "e621e1f8-c36c-495a-93fc-0c247a3e6e5f";
    o["colour"] = "teal";
  }));
  ASSERT_TRUE(read.ok()) << read.error().message;
  const Mode expected{*platform::Uuid::parse(kId),
                      "Writing",
                      "pencil",
                      ModeType::mission,
                      {"docs.example.com", "https://example.org:8443/path"},
                      {"com.example.editor"},
                      false,
                      std::nullopt};
  ASSERT_EQ(read.value().size(), 1u);
  EXPECT_EQ(read.value()[0], expected);
}

TEST(ModeJson, ReadsIntentionSuggestionsAbsentOrNullAsAbsent) {
  const json absent(json::value_t::discarded);
  const struct {
    json value;
    std::optional<std::vector<std::string>> expected;
  } cases[] = {
      {absent, std::nullopt},
      {nullptr, std::nullopt},
      {json::array(), std::vector<std::string>{}},
      {{"Finish the draft"}, std::vector<std::string>{"Finish the draft"}},
  };
  for (const auto& c : cases) {
    Result<std::vector<Mode>> read = decodeModes(fileWith([&](json& o) {
      if (!c.value.is_discarded()) o["intentionSuggestions"] = c.value;
    }));
    ASSERT_TRUE(read.ok()) << c.value << ": " << read.error().message;
    EXPECT_EQ(read.value()[0].intentionSuggestions, c.expected) << c.value;
  }
}

TEST(ModeJson, RefusesFilesWithAFaultyObjectNamingTheFirstFault) {
  using Change = std::function<void(json&)>;
  const struct {
    const char* why;
    Change change;
    const char* error;
  } cases[] = {
      // Keys without a default, even when empty or false.
      {"no icon", [](json& o) { o.erase("icon"); }, "[0].icon: required key is missing"},
      {"no isDefault", [](json& o) { o.erase("isDefault"); },
       "[0].isDefault: required key is missing"},
      {"no apps", [](json& o) { o.erase("apps"); }, "[0].apps: required key is missing"},
      {"null sites", [](json& o) { o["sites"] = nullptr; }, "[0].sites: required key is null"},
      // The type is exact and case-sensitive.
      {"capitalised type", [](json& o) { o["type"] = "Block"; },
       "[0].type: expected \"block\" or \"mission\", found string \"Block\""},
      {"upper-case type", [](json& o) { o["type"] = "MISSION"; },
       "[0].type: expected \"block\" or \"mission\", found string \"MISSION\""},
      {"the rules word", [](json& o) { o["type"] = "allow"; },
       "[0].type: expected \"block\" or \"mission\", found string \"allow\""},
      {"type as number", [](json& o) { o["type"] = 0; },
       "[0].type: expected a string, found number 0"},
      // Wrong JSON types and bad values.
      {"id not a UUID", [](json& o) { o["id"] = "writing"; },
       "[0].id: expected a UUID like \"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\", found string "
       "\"writing\""},
      {"site not a string",
       [](json& o) {
         o["sites"] = {"a.example", 1};
       },
       "[0].sites[1]: expected a string, found number 1"},
      {"isDefault as text", [](json& o) { o["isDefault"] = "false"; },
       "[0].isDefault: expected true or false, found string \"false\""},
      {"suggestions not an array", [](json& o) { o["intentionSuggestions"] = "focus"; },
       "[0].intentionSuggestions: expected an array of strings, found string \"focus\""},
      {"null suggestion", [](json& o) { o["intentionSuggestions"] = {nullptr}; },
       "[0].intentionSuggestions[0]: expected a string, found null"},
      // Several faults: the first in key order wins.
      {"bad type before missing apps",
       [](json& o) {
         o.erase("apps");
         o["type"] = "focus";
       },
       "[0].type: expected \"block\" or \"mission\", found string \"focus\""},
  };
  for (const auto& c : cases) {
    Result<std::vector<Mode>> read = decodeModes(fileWith(c.change));
    ASSERT_FALSE(read.ok()) << c.why;
    EXPECT_EQ(read.error().message, c.error) << c.why;
  }
}

TEST(ModeJson, KeyOrderDoesNotMatter) {
  const std::string reordered =
      R"([{"isDefault":false,"apps":["com.example.editor"],"type":"mission",)"
      R"("sites":["docs.example.com","https://example.org:8443/path"],"icon":"pencil",)"
      R"("name":"Writing","id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"}])";
  Result<std::vector<Mode>> a = decodeModes(reordered);
  Result<std::vector<Mode>> b = decodeModes(json::array({validObject()}).dump());
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a.value(), b.value());
}

}  // namespace
}  // namespace varn
