#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace varn::support {

// A VarnHelper executable, started in a private mount namespace in which `usersFolder` is
// mounted on /Users, with XDG_DATA_HOME at `dataHome` and no journal (its log goes to `logFile`).
// Killed at the end of the scope. The caller checks canMountOnUsers() first.
class HelperProcess {
 public:
  struct Options {
    std::filesystem::path executable{};
    std::filesystem::path usersFolder{};
    std::filesystem::path dataHome{};
    std::filesystem::path logFile{};
    // None by default: nothing answers there.
    std::string busAddress = "unix:path=/nonexistent";
    // TZ; when empty, the caller's zone.
    std::string zone{};
    // As a service manager starts it: NOTIFY_SOCKET names this datagram socket, and a watchdog
    // of 400 ms is asked for.
    std::filesystem::path notifySocket{};
    // Its stderr, in place of `logFile` (the write end of a pipe, say).
    int stderrFd = -1;
  };

  explicit HelperProcess(Options options);
  ~HelperProcess();
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  pid_t pid() const { return pid_; }
  // True while the process runs (it has neither exited nor crashed).
  bool running();
  // Sends `signal` and waits for the process to end (killing it after 30 s): its exit status,
  // or 128 + the signal that ended it.
  int endWith(int signal);
  // Its log lines so far.
  std::vector<std::string> logLines() const;
  // How many log lines contain `text`.
  size_t logCount(std::string_view text) const;

 private:
  Options options_;
  pid_t pid_ = -1;
};

}  // namespace varn::support
