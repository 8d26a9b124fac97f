#include "support/mount_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace varn::support {
namespace {

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

bool mountNamespacesPermitted(std::string* why) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(::unshare(CLONE_NEWNS) == 0 ? 0 : 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  *why = "mount namespaces are not permitted here (run as root or with CAP_SYS_ADMIN)";
  return false;
}

bool canMountOnUsers(std::string* why) {
  if (!mountNamespacesPermitted(why)) return false;
  if (::mkdir("/Users", 0755) == 0 || errno == EEXIST) return true;
  *why = failure("cannot create the mount point /Users");
  return false;
}

std::string enterPrivateMountNamespace() {
  if (::unshare(CLONE_NEWNS) != 0) return failure("unshare");
  // Without this, mounts would propagate back to the host's shared mounts.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return failure("make / private");
  }
  return "";
}

std::string mountTmpfs(const std::filesystem::path& at, const std::string& options) {
  if (::mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    return failure("mount tmpfs on " + at.native());
  }
  return "";
}

std::string setReadOnly(const std::filesystem::path& at, bool readOnly) {
  // A bind remount changes the flags of this one mount, not of the file system.
  const unsigned long flags =
      MS_REMOUNT | MS_BIND | MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
  if (::mount(nullptr, at.c_str(), nullptr, flags, nullptr) != 0) {
    return failure("remount " + at.native());
  }
  return "";
}

std::string fillWithFile(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return failure("create " + path.native());
  const std::string block(4096, 'x');
  std::string result = "the file system never filled up";
  for (int i = 0; i < (1 << 20); ++i) {
    if (::write(fd, block.data(), block.size()) >= 0) continue;
    result = errno == ENOSPC ? "" : failure("fill " + path.native());
    break;
  }
  ::close(fd);
  return result;
}

}  // namespace varn::support
