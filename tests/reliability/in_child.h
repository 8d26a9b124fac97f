#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace varn::reliability {

// Runs `body` in a forked child under a 20 s alarm, so that a hang fails instead of stalling,
// and returns its report: "" when every check held, otherwise what failed or how the child
// ended. Fork from a single-threaded process only.
inline std::string inChild(const std::function<std::string()>& body) {
  int report[2];
  if (::pipe(report) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(report[0]);
    ::alarm(20);
    const std::string failed = body();
    ::_exit(::write(report[1], failed.data(), failed.size()) < 0);
  }
  ::close(report[1]);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(report[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) text += "the child ended by signal " + std::to_string(WTERMSIG(status));
  return text;
}

}  // namespace varn::reliability
