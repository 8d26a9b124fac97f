#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace varn::support {
namespace {

using namespace std::chrono;

[[noreturn]] void exec(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

}  // namespace

int exitStatus(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

CommandResult run(const std::vector<std::string>& argv, seconds timeout) {
  CommandResult result;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return result;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, STDIN_FILENO);
    exec(argv);
  }
  ::close(fds[1]);
  const auto deadline = steady_clock::now() + timeout;
  char buffer[4096];
  for (;;) {
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    pollfd p{fds[0], POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) == 0) {
      ::kill(pid, SIGKILL);
      result.output += "\n<killed after " + std::to_string(timeout.count()) + " s>";
      break;
    }
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buffer, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = exitStatus(status);
  return result;
}

pid_t spawn(const std::vector<std::string>& argv, const std::filesystem::path& log,
            const std::function<void()>& inChild) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (inChild) inChild();
  const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0 || ::dup2(fd, STDERR_FILENO) < 0) ::_exit(126);
  exec(argv);
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
