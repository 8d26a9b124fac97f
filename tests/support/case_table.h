#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace varn::support {

// One case of a table kept in a data file beside its test: the fields of one line, and where
// the line stands, so that a failing case names it.
struct Case {
  std::string where;  // "src/platform/calendar_cases.tsv:12"
  std::vector<std::string> fields;
};

// The cases of a tab-separated file named relative to the source tree. Blank lines and lines
// that start with "#" are skipped; "\t" and "\n" in a field stand for a tab and a line break.
// Aborts when the file cannot be read or a line has not `fields` fields, so that a broken table
// never passes as an empty one.
std::vector<Case> readCases(std::string_view file, std::size_t fields);

}  // namespace varn::support
