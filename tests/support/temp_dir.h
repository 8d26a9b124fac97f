#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace varn::support {

// A fresh folder ("<tmp>/<prefix>-XXXXXX"), removed with its contents at the end of the scope.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "varn-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Writes `contents` to `path`, creating its folder when missing; aborts on failure.
void writeFile(const std::filesystem::path& path, std::string_view contents);
// The contents of the regular file at `path`, or "<missing>" when it cannot be read.
std::string readFile(const std::filesystem::path& path);

}  // namespace varn::support
