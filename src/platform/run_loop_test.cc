#include "platform/run_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/sd_event_run_loop.h"

namespace varn::platform {
namespace {

using namespace std::chrono_literals;

TEST(NextDueTime, KeepsTheTimersOwnScheduleAfterALateFiring) {
  using T = std::chrono::sys_seconds;
  // On time, late with the next slot ahead, one interval late (that slot is missed), three late.
  for (const auto& [now, next] : {std::pair{60, 120}, {119, 120}, {120, 180}, {191, 240}}) {
    EXPECT_EQ(nextDueTime(T(60s), 60s, T(std::chrono::seconds(now))), T(std::chrono::seconds(next)))
        << now;
  }
}

TEST(SdEventRunLoop, FiresEachRepeatingTimerAtItsOwnInterval) {
  auto created = SdEventRunLoop::create();
  ASSERT_TRUE(created.ok()) << created.error().message;
  SdEventRunLoop& loop = *created.value();
  int fast = 0, slow = 0;
  auto a = loop.addRepeatingTimer(5ms, [&] {
    if (++fast == 3) loop.exit(7);
  });
  auto b = loop.addRepeatingTimer(1h, [&] { ++slow; });
  EXPECT_EQ(loop.run(), 7);
  EXPECT_EQ(fast, 3);
  EXPECT_EQ(slow, 0);
}

// Without a descriptor left for its signalfd, SIGTERM must stay unblocked, or a stop waits for
// SIGKILL.
TEST(SdEventRunLoop, LeavesTheTerminationSignalsUnblockedWhenItCannotHandleThem) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    auto created = SdEventRunLoop::create();
    const rlimit few{32, 32};
    if (!created.ok() || ::setrlimit(RLIMIT_NOFILE, &few) != 0) ::_exit(1);
    while (::open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0) {
    }
    if (created.value()->exitOnTerminationSignals().ok()) ::_exit(2);
    sigset_t blocked;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    ::_exit(::sigismember(&blocked, SIGTERM) || ::sigismember(&blocked, SIGINT) ? 3 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

}  // namespace
}  // namespace varn::platform
