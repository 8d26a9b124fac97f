#include "platform/testing/temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace varn::platform::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "varn-test-XXXXXX").native();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  path_ = std::filesystem::path(pattern);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::filesystem::path& path, std::string_view contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out) std::abort();
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

}  // namespace varn::platform::testing
