#include "support/case_table.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace varn::support {
namespace {

std::string unescape(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 1 < field.size() && (field[i + 1] == 't' || field[i + 1] == 'n')) {
      out += field[++i] == 't' ? '\t' : '\n';
    } else {
      out += field[i];
    }
  }
  return out;
}

}  // namespace

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
    for (std::size_t start = 0;;) {
      const std::size_t tab = line.find('\t', start);
      entry.fields.push_back(unescape(std::string_view(line).substr(start, tab - start)));
      if (tab == std::string::npos) break;
      start = tab + 1;
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
