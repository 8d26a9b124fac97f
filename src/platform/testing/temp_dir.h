#pragma once

#include <filesystem>

namespace varn::platform::testing {

// A fresh folder under the system's temporary folder, removed with everything in it at the end
// of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Writes `contents` to `path`, replacing what is there (a test fixture helper; aborts the test
// binary on failure, which only a broken machine causes).
void writeFile(const std::filesystem::path& path, std::string_view contents);
// The contents of the regular file at `path`, or "<missing>" when it cannot be read.
std::string readFile(const std::filesystem::path& path);

}  // namespace varn::platform::testing
