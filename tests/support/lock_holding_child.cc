#include "support/lock_holding_child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/file_coordination.h"
#include "support/eventually.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace varn::support {

LockHoldingChild::LockHoldingChild(const std::filesystem::path& file, int operation) {
  const std::string lock = platform::lockFilePath(file);
  const TempDir dir;
  const std::filesystem::path log = dir / "flock.log";
  std::vector<std::string> argv{"sh", "-c",
                                "flock -" + std::string(operation == LOCK_SH ? "s" : "x") +
                                    " 9 && echo held && exec sleep infinity"};
  const bool root = ::geteuid() == 0;
  if (root)
    argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  // The lock file is opened here, where the folder may be closed to the other user.
  pid_ = spawn(argv, log, [&] {
    int fd = ::open(lock.c_str(), O_RDONLY | O_CREAT | O_EXCL, 0644);
    if (fd >= 0 && root && ::fchown(fd, 65534, 65534) != 0) ::_exit(125);
    if (fd < 0) fd = ::open(lock.c_str(), O_RDONLY);
    if (fd < 0 || ::dup2(fd, 9) < 0) ::_exit(125);
  });
  const auto settled = [&] {
    held_ = readFile(log) == "held\n";
    if (!held_ && ::waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    return held_ || pid_ < 0;
  };
  eventually(settled, std::chrono::seconds(10));
}

void LockHoldingChild::letGo() {
  if (pid_ > 0) stop(pid_, SIGKILL, std::chrono::seconds(5));
  pid_ = -1;
}

}  // namespace varn::support
