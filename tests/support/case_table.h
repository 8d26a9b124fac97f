#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace varn::support {

// One line of a case table, and where it stands, so that a failing case names it.
struct Case {
  std::string where;  // "src/platform/calendar_cases.tsv:12"
  std::vector<std::string> fields;
};

// The cases of a tab-separated file named relative to the source tree, without blank lines and
// "#" lines; "\t" and "\n" in a field stand for a tab and a line break. Aborts when the file
// cannot be read or a line has not `fields` fields: a broken table never passes as empty.
std::vector<Case> readCases(std::string_view file, std::size_t fields);

}  // namespace varn::support
