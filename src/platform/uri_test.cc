#include "platform/uri.h"

#include <gtest/gtest.h>

#include "support/case_table.h"

namespace varn::platform {
namespace {

TEST(AbsoluteUriHost, GivesTheHostAsWrittenOfAnAbsoluteUriOnly) {
  for (const support::Case& c : support::readCases("src/platform/uri_cases.tsv", 2)) {
    const std::optional<std::string> host = absoluteUriHost(c.fields[0]);
    EXPECT_EQ(host.value_or("-"), c.fields[1]) << c.where;
  }
}

}  // namespace
}  // namespace varn::platform
