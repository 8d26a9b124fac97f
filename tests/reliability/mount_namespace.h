#pragma once

#include <filesystem>
#include <string>

#include "platform/testing/mount_namespace.h"

namespace varn::reliability {

using platform::testing::mountNamespacesPermitted;

// The calls below run in a forked child (ForkedChild), never in the test process itself, and
// return "" or what failed.

// Moves the calling process into a mount namespace of its own, in which nothing it mounts is
// seen by the host, and which ends with the process.
std::string enterPrivateMountNamespace();
// Mounts a tmpfs on the folder `at` with `options` ("size=64k,mode=1777").
std::string mountTmpfs(const std::filesystem::path& at, const std::string& options);
// Makes the mount on `at` read-only, or writable again.
std::string setReadOnly(const std::filesystem::path& at, bool readOnly);
// Writes a file at `path` until the file system reports it full (ENOSPC).
std::string fillWithFile(const std::filesystem::path& path);
// Creates empty files "0", "1", ... in `folder` until no inode is left; counts them in `created`.
std::string fillWithEmptyFiles(const std::filesystem::path& folder, int* created);

// Collects the failed checks of a child, for its report.
class Checks {
 public:
  void expect(bool holds, const std::string& what) {
    if (!holds) report_ += what + "\n";
  }
  const std::string& report() const { return report_; }

 private:
  std::string report_;
};

}  // namespace varn::reliability
