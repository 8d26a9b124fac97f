#include "platform/file_coordination.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace varn::platform {
namespace {

constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;

Result<UniqueFd> openLockFile(const std::filesystem::path& lockPath) {
  // Open without O_CREAT first: in a sticky world-writable folder, fs.protected_regular refuses
  // O_CREAT on another user's existing file, even for root. Create only when it is missing, and
  // go back to the plain open when another process created it in between.
  for (int attempt = 0; attempt < 8; ++attempt) {
    UniqueFd fd(::open(lockPath.c_str(), kOpenFlags));
    if (!fd && errno == ENOENT) {
      fd.reset(::open(lockPath.c_str(), kOpenFlags | O_CREAT | O_EXCL, 0644));
      if (!fd && errno == EEXIST) continue;
      if (fd) ::fchmod(fd.get(), 0644);
    }
    if (!fd) return systemError("open lock file", lockPath.native(), errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return systemError("stat lock file", lockPath.native(), errno);
    if (!S_ISREG(st.st_mode)) {
      return Error{"open lock file " + lockPath.native() + ": not a regular file", EINVAL};
    }
    return fd;
  }
  return systemError("open lock file", lockPath.native(), EAGAIN);
}

Status coordinate(const std::filesystem::path& file, int operation, const FileAccessor& accessor) {
  const std::filesystem::path lockPath = lockFilePath(file);
  Result<UniqueFd> lock = openLockFile(lockPath);
  if (!lock.ok()) return lock.error();
  while (::flock(lock.value().get(), operation) != 0) {
    if (errno != EINTR) return systemError("lock", lockPath.native(), errno);
  }
  accessor(file);
  // Closing the descriptor releases the lock.
  return Status::success();
}

}  // namespace

std::filesystem::path lockFilePath(const std::filesystem::path& file) {
  std::filesystem::path lock = file;
  lock += ".lock";
  return lock;
}

Status coordinateReading(const std::filesystem::path& file, const FileAccessor& accessor) {
  return coordinate(file, LOCK_SH, accessor);
}

Status coordinateWriting(const std::filesystem::path& file, const FileAccessor& accessor) {
  return coordinate(file, LOCK_EX, accessor);
}

}  // namespace varn::platform
