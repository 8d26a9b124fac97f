#include "support/lock_holding_child.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/file_coordination.h"

namespace varn::support {

LockHoldingChild::LockHoldingChild(const std::filesystem::path& file, int operation) {
  int ready[2], release[2];
  if (::pipe(ready) != 0 || ::pipe(release) != 0) std::abort();
  pid_ = ::fork();
  if (pid_ == 0) {
    ::close(ready[0]);
    ::close(release[1]);
    const std::filesystem::path lock = platform::lockFilePath(file);
    int fd = ::open(lock.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool created = fd >= 0;
    if (!created) fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) ::_exit(1);
    if (::geteuid() == 0) {
      constexpr uid_t kOtherUser = 65534;  // nobody
      if (created && ::fchown(fd, kOtherUser, kOtherUser) != 0) ::_exit(1);
      if (::setgid(kOtherUser) != 0 || ::setuid(kOtherUser) != 0) ::_exit(1);
    }
    if (::flock(fd, operation) != 0) ::_exit(1);
    char c = 1;
    (void)!::write(ready[1], &c, 1);
    (void)!::read(release[0], &c, 1);  // returns at EOF, when the parent lets go
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  releaseFd_ = release[1];
  char c;
  held_ = ::read(ready[0], &c, 1) == 1;
  ::close(ready[0]);
}

LockHoldingChild::~LockHoldingChild() {
  letGo();
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

void LockHoldingChild::letGo() {
  if (releaseFd_ >= 0) ::close(releaseFd_);
  releaseFd_ = -1;
}

}  // namespace varn::support
