#include "support/forked_child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/process.h"

namespace varn::support {

ForkedChild::ForkedChild(const std::function<std::string()>& body, std::chrono::seconds limit)
    : limit_(limit) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) std::abort();
  pid_ = ::fork();
  if (pid_ < 0) std::abort();
  if (pid_ == 0) {
    ::close(report[0]);
    ::alarm(static_cast<unsigned>(limit.count()));
    const std::string text = body();
    for (size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(report[1], text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    // No destructors or exit handlers: they belong to the parent's copy of the test.
    ::_exit(0);
  }
  ::close(report[1]);
  reportFd_ = report[0];
}

ForkedChild::~ForkedChild() {
  if (pid_ > 0) stop(pid_, SIGKILL, std::chrono::seconds(5));
  if (reportFd_ >= 0) ::close(reportFd_);
}

void ForkedChild::kill(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

std::string ForkedChild::wait() {
  std::string report;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(reportFd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    report.append(buffer, static_cast<size_t>(n));
  }
  int status = 0;
  struct rusage usage {};
  while (::wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  maxResidentKiB_ = usage.ru_maxrss;
  if (WIFSIGNALED(status)) {
    signal_ = WTERMSIG(status);
    if (signal_ == SIGALRM) {
      return "did not finish within " + std::to_string(limit_.count()) + " s " + report;
    }
    return "killed by signal " + std::to_string(signal_) + " (" + ::strsignal(signal_) + ") " +
           report;
  }
  if (WEXITSTATUS(status) != 0) {
    return "exited with status " + std::to_string(WEXITSTATUS(status)) + " " + report;
  }
  return report;
}

std::string runInChild(const std::function<std::string()>& body, std::chrono::seconds limit) {
  ForkedChild child(body, limit);
  return child.wait();
}

void* mapSharedMemory(size_t size) {
  void* at = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (at == MAP_FAILED) std::abort();
  return at;
}

void unmapSharedMemory(void* at, size_t size) { ::munmap(at, size); }

}  // namespace varn::support
