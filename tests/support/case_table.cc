#include "support/case_table.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>

namespace varn::support {

std::vector<Case> readCases(std::string_view file, std::size_t fields) {
  const std::string path = std::string(VARN_SOURCE_DIR) + "/" + std::string(file);
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "cannot read the case table %s\n", path.c_str());
    std::abort();
  }
  std::vector<Case> cases;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty() || line.front() == '#') continue;
    Case entry{std::string(file) + ":" + std::to_string(number), {}};
    for (std::size_t start = 0, tab = 0; tab != std::string::npos; start = tab + 1) {
      tab = line.find('\t', start);
      const std::string field = line.substr(start, tab - start);
      entry.fields.push_back(std::regex_replace(
          std::regex_replace(field, std::regex(R"(\\t)"), "\t"), std::regex(R"(\\n)"), "\n"));
    }
    if (entry.fields.size() != fields) {
      std::fprintf(stderr, "%s: %zu fields, expected %zu\n", entry.where.c_str(),
                   entry.fields.size(), fields);
      std::abort();
    }
    cases.push_back(std::move(entry));
  }
  return cases;
}

}  // namespace varn::support
