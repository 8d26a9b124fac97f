#pragma once

#include <filesystem>

namespace varn::support {

// A child process that takes flock(`operation`) on the lock file of `file` (creating it when
// missing) and holds it until letGo() or destruction. The constructor returns once the lock is
// held, or once the child has failed (held() is then false). Where the tests run as root, the
// child is another local user: it takes the lock as uid and gid 65534, and a lock file it
// creates belongs to that user.
class LockHoldingChild {
 public:
  LockHoldingChild(const std::filesystem::path& file, int operation);
  ~LockHoldingChild();
  LockHoldingChild(const LockHoldingChild&) = delete;
  LockHoldingChild& operator=(const LockHoldingChild&) = delete;

  bool held() const { return held_; }
  void letGo();

 private:
  int pid_ = -1;
  int releaseFd_ = -1;
  bool held_ = false;
};

}  // namespace varn::support
