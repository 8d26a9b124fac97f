// Makes calls that the helper's unit denies, each harmless where it is allowed (a bad argument
// or a missing path makes it fail on its own, or it changes only this short-lived process), and
// prints one line per call: its name and the errno it failed with, or 0. The service tests run
// it under the unit's settings and unconfined, and compare.
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

int errnoOf(long result) { return result == -1 ? errno : 0; }

}  // namespace

int main() {
  const timeval invalid{0, 2'000'000};  // more microseconds than a second has: EINVAL
  const timespec zero{};
  const struct {
    const char* name;
    int error;
  } calls[] = {
      {"mount", errnoOf(::mount(nullptr, "/nonexistent/varn-probe", nullptr, 0, nullptr))},
      // Not traced by anyone, so ESRCH: what the helper's callers could learn from it.
      {"ptrace", errnoOf(::ptrace(PTRACE_GETREGS, ::getpid(), nullptr, nullptr))},
      // Straight to the kernel: the C library checks the microseconds itself.
      {"settimeofday", errnoOf(::syscall(SYS_settimeofday, &invalid, nullptr))},
      {"clock_settime", errnoOf(::clock_settime(CLOCK_MONOTONIC, &zero))},
      {"setpriority", errnoOf(::setpriority(PRIO_PROCESS, 0, 19))},
      {"socket-inet", errnoOf(::socket(AF_INET, SOCK_STREAM, 0))},
      {"mmap-write-execute", ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC,
                                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) == MAP_FAILED
                                 ? errno
                                 : 0},
  };
  for (const auto& call : calls) std::printf("%s %d\n", call.name, call.error);
  return 0;
}
