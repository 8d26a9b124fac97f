#include "platform/file_coordination.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <string>

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

// How a contended wait is bounded. flock() has no timeout, so the waiting thread blocks in it and
// a timer of its own interrupts it: the timer sends a real-time signal to that thread alone
// (SIGEV_THREAD_ID), and the signal's handler does nothing and is installed without SA_RESTART,
// so flock returns EINTR. The thread sleeps in the kernel and takes the lock the moment it is
// released. Polling with LOCK_NB would either spin or add its sleep to every contended access,
// and a helper thread blocked in flock could not be cancelled when the wait is abandoned.
//
// The timer repeats after the deadline: should its first signal land just before the thread enters
// flock, the next one still interrupts it. Only a clock past the deadline ends the wait, so a
// signal of anyone else's merely restarts it.
constexpr std::chrono::milliseconds kInterruptRepeat{20};

// A real-time signal nothing else in the helper uses: sd-event and sd-bus take signals only when
// asked to, and glibc keeps its own below SIGRTMIN.
int interruptSignal() { return SIGRTMIN + 7; }

extern "C" void ignoreInterrupt(int) {}

// The default action of a real-time signal ends the process, so the handler is in place before
// any timer can send one; a function-local static installs it once, thread-safely.
bool interruptHandlerInstalled() {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_handler = ignoreInterrupt;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the interrupted flock must return
    return ::sigaction(interruptSignal(), &action, nullptr) == 0;
  }();
  return installed;
}

timespec toTimespec(std::chrono::nanoseconds d) {
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
  return timespec{static_cast<time_t>(secs.count()), static_cast<long>((d - secs).count())};
}

// A timer that interrupts the calling thread after `after`, then every kInterruptRepeat, until
// destroyed. The signal is unblocked in the thread meanwhile (a thread that blocks it could
// otherwise wait for ever). Destruction disarms the timer before it restores the signal mask: a
// signal the timer sent before that is delivered on the way out of the disarming call, so none
// arrives after the wait has ended.
class ThreadInterruptTimer {
 public:
  explicit ThreadInterruptTimer(std::chrono::nanoseconds after) {
    if (!interruptHandlerInstalled()) {
      error_ = EINVAL;  // the only way sigaction fails
      return;
    }
    sigset_t signal;
    ::sigemptyset(&signal);
    ::sigaddset(&signal, interruptSignal());
    ::pthread_sigmask(SIG_UNBLOCK, &signal, &previousMask_);
    maskChanged_ = true;
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = interruptSignal();
    event._sigev_un._tid = ::gettid();
    if (::timer_create(CLOCK_MONOTONIC, &event, &timer_) != 0) {
      error_ = errno;
      return;
    }
    created_ = true;
    const itimerspec schedule{toTimespec(kInterruptRepeat), toTimespec(after)};
    if (::timer_settime(timer_, 0, &schedule, nullptr) != 0) error_ = errno;
  }
  ~ThreadInterruptTimer() {
    if (created_) {
      const itimerspec disarmed{};
      ::timer_settime(timer_, 0, &disarmed, nullptr);
      ::timer_delete(timer_);
    }
    if (maskChanged_) ::pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
  }
  ThreadInterruptTimer(const ThreadInterruptTimer&) = delete;
  ThreadInterruptTimer& operator=(const ThreadInterruptTimer&) = delete;

  int error() const { return error_; }  // errno of the failed setup, or 0

 private:
  timer_t timer_{};
  bool created_ = false;
  bool maskChanged_ = false;
  sigset_t previousMask_{};
  int error_ = 0;
};

Status lockWithinLimit(int fd, int operation, const std::filesystem::path& lockPath,
                       LockDeadline deadline) {
  const auto notGranted = [&] {
    return Error{"lock " + lockPath.native() + ": not granted within " +
                     std::to_string(kLockWaitLimit.count()) + " s",
                 ETIMEDOUT};
  };
  // Uncontended, as nearly always: no timer at all.
  if (::flock(fd, operation | LOCK_NB) == 0) return Status::success();
  if (errno != EWOULDBLOCK && errno != EINTR) return systemError("lock", lockPath.native(), errno);

  deadline = std::min(deadline, std::chrono::steady_clock::now() + kLockWaitLimit);
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return notGranted();
  const ThreadInterruptTimer timer(left);
  if (timer.error() != 0) return systemError("arm the wait for", lockPath.native(), timer.error());
  while (::flock(fd, operation) != 0) {
    if (errno != EINTR) return systemError("lock", lockPath.native(), errno);
    if (std::chrono::steady_clock::now() >= deadline) return notGranted();
  }
  return Status::success();
}

Status coordinate(const std::filesystem::path& file, int operation, const FileAccessor& accessor,
                  LockDeadline deadline) {
  const std::filesystem::path lockPath = lockFilePath(file);
  Result<UniqueFd> lock = openLockFile(lockPath);
  if (!lock.ok()) return lock.error();
  if (Status locked = lockWithinLimit(lock.value().get(), operation, lockPath, deadline);
      !locked.ok()) {
    return locked;
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
  return coordinate(file, LOCK_SH, accessor, LockDeadline::max());
}

Status coordinateWriting(const std::filesystem::path& file, const FileAccessor& accessor,
                         LockDeadline deadline) {
  return coordinate(file, LOCK_EX, accessor, deadline);
}

}  // namespace varn::platform
