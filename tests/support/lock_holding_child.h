#pragma once

#include <sys/types.h>

#include <filesystem>

namespace varn::support {

// flock(1) holding flock(`operation`) on the lock file of `file` (created when missing) until
// letGo() or the end of the scope; the constructor returns once the lock is held or flock(1) has
// failed. Where the tests run as root the holder is another local user (nobody), who owns a lock
// file made here.
class LockHoldingChild {
 public:
  LockHoldingChild(const std::filesystem::path& file, int operation);
  ~LockHoldingChild() { letGo(); }
  LockHoldingChild(const LockHoldingChild&) = delete;
  LockHoldingChild& operator=(const LockHoldingChild&) = delete;

  bool held() const { return held_; }
  void letGo();

 private:
  pid_t pid_ = -1;
  bool held_ = false;
};

}  // namespace varn::support
