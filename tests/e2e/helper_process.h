#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace varn::e2e {

// Whether this process may create mount namespaces and /Users exists on the host to mount on
// (it is created, empty, when missing); the end-to-end tests skip otherwise.
bool canMountOnUsers(std::string* why);

// The real VarnHelper, started in a private mount namespace in which `usersFolder` is mounted
// on /Users, with its wall clock starting at `clockStart`, XDG_DATA_HOME at `dataHome`, TZ=UTC,
// and the session bus at `busAddress`. Its stderr goes to `logFile`. Killed at the end of the
// scope.
class HelperProcess {
 public:
  struct Options {
    std::filesystem::path usersFolder;
    std::filesystem::path dataHome;
    std::string busAddress;
    std::chrono::sys_seconds clockStart;
    std::filesystem::path logFile;
    // /Users/Shared inside the namespace: a 64 KiB tmpfs filled to the last page by a file
    // "filler", instead of the test's own folder.
    bool sharedFolderOnFullTmpfs = false;
    // /Users/Shared mounted read-only inside the namespace.
    bool sharedFolderReadOnly = false;
    // As a service manager starts it: NOTIFY_SOCKET names this datagram socket, and a watchdog
    // of 400 ms is asked for.
    std::filesystem::path notifySocket;
    // Its stderr, in place of `logFile` (the write end of a pipe, say).
    int stderrFd = -1;
  };

  explicit HelperProcess(Options options);
  ~HelperProcess();
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  // True while the process runs (it has neither exited nor crashed).
  bool running();
  // Sends `signal` and waits for the process to end: its exit status, or 128 + the signal that
  // ended it.
  int endWith(int signal);
  // True once endWith() has seen the process end.
  bool ended() const { return ended_; }
  // Its log lines so far.
  std::vector<std::string> logLines() const;
  // How many log lines contain `text`.
  size_t logCount(std::string_view text) const;

  // `path` as the helper sees it through its own mounts (by way of /proc/<pid>/root).
  std::filesystem::path seenByHelper(const std::filesystem::path& path) const;
  // Runs `action` in a child process that has joined the helper's mount namespace, to change
  // its mounts; true when the child joined and `action` returned true.
  bool inHelperNamespace(const std::function<bool()>& action) const;

 private:
  Options options_;
  pid_t pid_ = -1;
  bool ended_ = false;
};

// Polls `condition` every 10 ms until it holds or `timeout` passes; returns its last value.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

}  // namespace varn::e2e
