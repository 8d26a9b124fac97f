#include "namespaced_helper.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace varn::bench {

bool canUseMountNamespaces(std::string& why) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(::unshare(CLONE_NEWNS) == 0 ? 0 : 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    why = "mount namespaces are not permitted here (run as root or with CAP_SYS_ADMIN)";
    return false;
  }
  // The mount point must exist on the host; an empty /Users is all this leaves behind.
  if (::mkdir("/Users", 0755) == 0 || errno == EEXIST) return true;
  why = std::string("cannot create the mount point /Users: ") + std::strerror(errno);
  return false;
}

NamespacedHelper::NamespacedHelper(const std::filesystem::path& executable,
                                   const std::filesystem::path& usersFolder,
                                   const std::filesystem::path& dataHome,
                                   const std::filesystem::path& logFile) {
  pid_ = ::fork();
  if (pid_ != 0) return;

  const int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0 || ::dup2(log, STDERR_FILENO) < 0) ::_exit(120);
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount(usersFolder.c_str(), "/Users", nullptr, MS_BIND, nullptr) != 0) {
    ::_exit(121);
  }
  ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
  ::unsetenv("JOURNAL_STREAM");
  ::unsetenv("LD_PRELOAD");
  ::execl(executable.c_str(), "VarnHelper", static_cast<char*>(nullptr));
  ::_exit(122);
}

NamespacedHelper::~NamespacedHelper() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

bool NamespacedHelper::running() {
  int status = 0;
  return pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0;
}

}  // namespace varn::bench
