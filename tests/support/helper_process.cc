#include "support/helper_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <utility>

#include "support/mount_namespace.h"
#include "support/process.h"

namespace varn::support {

HelperProcess::HelperProcess(Options options) : options_(std::move(options)) {
  pid_ = ::fork();
  if (pid_ != 0) return;

  // The child: a private mount namespace with the caller's folder on /Users, then the helper.
  // Each failure has its own exit status, which is all a test sees of it.
  const int log = options_.stderrFd >= 0
                      ? options_.stderrFd
                      : ::open(options_.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (log < 0 || ::dup2(log, STDERR_FILENO) < 0) ::_exit(120);
  if (!enterPrivateMountNamespace().empty() ||
      ::mount(options_.usersFolder.c_str(), "/Users", nullptr, MS_BIND, nullptr) != 0)
    ::_exit(121);
  ::setenv("XDG_DATA_HOME", options_.dataHome.c_str(), 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", options_.busAddress.c_str(), 1);
  if (!options_.zone.empty()) ::setenv("TZ", options_.zone.c_str(), 1);
  ::unsetenv("JOURNAL_STREAM");
  ::unsetenv("LD_PRELOAD");
  if (!options_.notifySocket.empty()) {
    ::setenv("NOTIFY_SOCKET", options_.notifySocket.c_str(), 1);
    ::setenv("WATCHDOG_USEC", "400000", 1);
    ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
  }
  ::execl(options_.executable.c_str(), "VarnHelper", static_cast<char*>(nullptr));
  ::_exit(122);
}

HelperProcess::~HelperProcess() {
  if (pid_ > 0) stop(pid_, SIGKILL, std::chrono::seconds(5));
}

bool HelperProcess::running() {
  int status = 0;
  if (pid_ <= 0) return false;
  if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
  pid_ = -1;  // reaped: the number may soon be another process's
  return false;
}

int HelperProcess::endWith(int signal) {
  if (pid_ <= 0) return -1;
  return stop(std::exchange(pid_, -1), signal, std::chrono::seconds(30));
}

std::vector<std::string> HelperProcess::logLines() const {
  std::vector<std::string> lines;
  std::ifstream in(options_.logFile);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t HelperProcess::logCount(std::string_view text) const {
  size_t count = 0;
  for (const std::string& line : logLines()) count += line.find(text) != std::string::npos;
  return count;
}

}  // namespace varn::support
