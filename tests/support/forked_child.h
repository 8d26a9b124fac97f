#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <new>
#include <string>

namespace varn::support {

// A forked child process that runs `body` and reports what went wrong in it. The child ends by
// SIGALRM once `limit` has passed, so a hang (a deadlock, a blocked read) ends as a failure of
// the test, never as a hung test. `body` runs in the child only: it returns "" when every check
// held, otherwise a description of what failed. Fork from a single-threaded process only.
class ForkedChild {
 public:
  ForkedChild(const std::function<std::string()>& body, std::chrono::seconds limit);
  // Kills the child (SIGKILL) when it still runs, and reaps it.
  ~ForkedChild();
  ForkedChild(const ForkedChild&) = delete;
  ForkedChild& operator=(const ForkedChild&) = delete;

  pid_t pid() const { return pid_; }
  void kill(int signal);

  // Waits for the child's end. Returns "" when `body` returned "" and the child exited;
  // otherwise its report, or how it ended ("killed by signal 9", "did not finish within 20 s").
  std::string wait();
  // Whether the child ended by `signal`; only after wait().
  bool endedBy(int signal) const { return signal_ == signal; }
  // The peak resident memory of the child, in KiB; only after wait().
  long maxResidentKiB() const { return maxResidentKiB_; }

 private:
  pid_t pid_ = -1;
  int reportFd_ = -1;
  std::chrono::seconds limit_;
  int signal_ = 0;
  long maxResidentKiB_ = 0;
};

// Collects the failed checks of a child, for its report.
class Checks {
 public:
  void expect(bool holds, const std::string& what) {
    if (!holds) report_ += what + "\n";
  }
  const std::string& report() const { return report_; }

 private:
  std::string report_;
};

// Runs `body` in a ForkedChild and waits for it; "" when all held.
std::string runInChild(const std::function<std::string()>& body, std::chrono::seconds limit);

void* mapSharedMemory(size_t size);
void unmapSharedMemory(void* at, size_t size);

// One T in memory shared with the children forked while it lives (MAP_SHARED|MAP_ANONYMOUS).
// Use lock-free std::atomic members for anything two processes touch.
template <typename T>
class SharedMemory {
 public:
  SharedMemory() : value_(new (mapSharedMemory(sizeof(T))) T()) {}
  ~SharedMemory() {
    value_->~T();
    unmapSharedMemory(value_, sizeof(T));
  }
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  T* operator->() const { return value_; }
  T& operator*() const { return *value_; }

 private:
  T* value_;
};

}  // namespace varn::support
