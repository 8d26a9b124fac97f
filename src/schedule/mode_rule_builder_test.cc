#include "schedule/mode_rule_builder.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/case_table.h"

namespace varn {
namespace {

using Strings = std::vector<std::string>;

// "a|b" holds two entries, "a||b" three, an empty field none.
Strings entries(const std::string& field) {
  Strings out;
  std::istringstream in(field);
  for (std::string entry; std::getline(in, entry, '|');) out.push_back(entry);
  return out;
}

TEST(ModeRuleBuilder, GivesEachModeTheHostsAndAppsOfItsSession) {
  for (const support::Case& c : support::readCases("src/schedule/mode_rule_builder_cases.tsv", 5)) {
    const ModeType type = c.fields[0] == "block" ? ModeType::block : ModeType::mission;
    const Mode mode{{}, "", "", type, entries(c.fields[1]), entries(c.fields[2]), false, {}};
    EXPECT_EQ(ModeRuleBuilder::hostsForMode(mode), entries(c.fields[3])) << c.where;
    EXPECT_EQ(ModeRuleBuilder::allowedSigningIdsForMode(mode), entries(c.fields[4])) << c.where;
  }
}

TEST(ModeRuleBuilder, ComparesEntriesByTheHostTheyName) {
  for (const support::Case& c : support::readCases("src/schedule/normalized_host_cases.tsv", 2)) {
    EXPECT_EQ(ModeRuleBuilder::normalizedHost(c.fields[0]).value_or("-"), c.fields[1]) << c.where;
  }
  EXPECT_EQ(ModeRuleBuilder::normalizedHost("example.com\xff"), std::nullopt);  // not UTF-8
}

}  // namespace
}  // namespace varn
