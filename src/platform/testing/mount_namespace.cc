#include "platform/testing/mount_namespace.h"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace varn::platform::testing {

bool mountNamespacesPermitted(std::string* why) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(::unshare(CLONE_NEWNS) == 0 ? 0 : 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  *why = "mount namespaces are not permitted here (run as root or with CAP_SYS_ADMIN)";
  return false;
}

}  // namespace varn::platform::testing
