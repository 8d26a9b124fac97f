#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace varn::platform {

// A process that holds a lock on a file, as the kernel lists it in /proc/locks.
struct LockHolder {
  pid_t pid = 0;        // 0 when the holder lives in another pid namespace
  std::string command;  // from /proc/<pid>/comm; empty when that cannot be read
  bool exclusive = false;
};

// The holders of a lock (flock, POSIX or open-file description lock) on `file`, matched by its
// device and inode; processes that only wait for one are left out. Empty when `file` does not
// exist or /proc/locks cannot be read. Reads only, and takes no lock itself.
std::vector<LockHolder> lockHolders(const std::filesystem::path& file);

}  // namespace varn::platform
