#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

namespace varn::support {

using namespace std::chrono;

static int exitStatus(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

CommandResult run(const std::vector<std::string>& argv, seconds timeout) {
  // Each word quoted for the shell, under timeout(1).
  std::string command = "timeout -s KILL " + std::to_string(timeout.count());
  for (const std::string& word : argv) {
    command += " '";
    for (const char c : word) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += "'";
  }
  CommandResult result;
  FILE* output = ::popen((command + " </dev/null 2>&1").c_str(), "r");
  if (output == nullptr) return result;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, output)) > 0;) {
    result.output.append(buffer, n);
  }
  result.status = exitStatus(::pclose(output));
  return result;
}

pid_t spawn(const std::vector<std::string>& argv, const std::filesystem::path& log,
            const std::function<void()>& inChild) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (inChild) inChild();
  if (!log.empty()) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0 || ::dup2(fd, STDERR_FILENO) < 0) ::_exit(126);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

int stop(pid_t pid, int signal, milliseconds grace) {
  if (pid <= 0) return -1;
  ::kill(pid, signal);
  const auto deadline = steady_clock::now() + grace;
  int status = 0;
  for (;;) {
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == pid) return exitStatus(status);
    if (ended < 0 && errno != EINTR) return -1;
    if (steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(10ms);
  }
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, &status, 0) != pid) {
    if (errno != EINTR) return -1;
  }
  return exitStatus(status);
}

}  // namespace varn::support
