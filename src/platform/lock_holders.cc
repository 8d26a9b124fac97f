#include "platform/lock_holders.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <sstream>

#include "platform/files.h"

namespace varn::platform {
namespace {

// /proc/locks is generated as it is read (its size shows as 0); thousands of locks fit in this.
constexpr size_t kMaxLocksSize = 1 << 20;

std::string commandOf(pid_t pid) {
  const Result<std::string> comm = readWholeFile("/proc/" + std::to_string(pid) + "/comm", 4096);
  if (!comm.ok()) return {};
  std::string command = comm.value();
  while (!command.empty() && command.back() == '\n') command.pop_back();
  return command;
}

}  // namespace

std::vector<LockHolder> lockHolders(const std::filesystem::path& file) {
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0) return {};
  const Result<std::string> locks = readWholeFile("/proc/locks", kMaxLocksSize);
  if (!locks.ok()) return {};
  // The kernel writes the device as two-digit hexadecimal major and minor numbers.
  char device[64];
  (void)std::snprintf(device, sizeof device, "%02x:%02x:%llu", major(status.st_dev),
                      minor(status.st_dev), static_cast<unsigned long long>(status.st_ino));
  std::vector<LockHolder> holders;
  std::istringstream lines(locks.value());
  std::string line;
  // "1: FLOCK  ADVISORY  WRITE 1234 08:01:56 0 EOF"; a waiter's line has "->" after the number.
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string number, type, mode, access, where;
    long pid = 0;
    if (!(fields >> number >> type >> mode >> access >> pid >> where) || type == "->" ||
        where != device) {
      continue;
    }
    holders.push_back({static_cast<pid_t>(pid), pid > 0 ? commandOf(static_cast<pid_t>(pid)) : "",
                       access == "WRITE"});
  }
  return holders;
}

}  // namespace varn::platform
