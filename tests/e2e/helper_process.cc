#include "helper_process.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/testing/mount_namespace.h"

namespace varn::e2e {

namespace {

// Writes `path` until the file system is full.
bool fillUp(const char* path) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const std::string block(4096, 'x');
  while (::write(fd, block.data(), block.size()) >= 0) {
  }
  const bool full = errno == ENOSPC;
  ::close(fd);
  return full;
}

}  // namespace

bool canMountOnUsers(std::string* why) {
  if (!platform::testing::mountNamespacesPermitted(why)) return false;
  // The mount point must exist on the host; an empty /Users is all these tests leave behind.
  if (::mkdir("/Users", 0755) == 0 || errno == EEXIST) return true;
  *why = std::string("cannot create the mount point /Users: ") + std::strerror(errno);
  return false;
}

HelperProcess::HelperProcess(Options options) : options_(std::move(options)) {
  pid_ = ::fork();
  if (pid_ != 0) return;

  // The child: a private mount namespace with the test's folder on /Users, then the helper.
  const int log = options_.stderrFd >= 0
                      ? options_.stderrFd
                      : ::open(options_.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (log < 0 || ::dup2(log, STDERR_FILENO) < 0) ::_exit(120);
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount(options_.usersFolder.c_str(), "/Users", nullptr, MS_BIND, nullptr) != 0) {
    ::_exit(121);
  }
  if (options_.sharedFolderOnFullTmpfs &&
      (::mount("tmpfs", "/Users/Shared", "tmpfs", 0, "size=64k,mode=1777") != 0 ||
       !fillUp("/Users/Shared/filler"))) {
    ::_exit(123);
  }
  // A bind mount of the folder on itself, then made read-only: a flag of this mount alone.
  constexpr unsigned long kReadOnlyBind = MS_REMOUNT | MS_BIND | MS_RDONLY;
  if (options_.sharedFolderReadOnly &&
      (::mount("/Users/Shared", "/Users/Shared", nullptr, MS_BIND, nullptr) != 0 ||
       ::mount(nullptr, "/Users/Shared", nullptr, kReadOnlyBind, nullptr) != 0)) {
    ::_exit(124);
  }
  ::setenv("XDG_DATA_HOME", options_.dataHome.c_str(), 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", options_.busAddress.c_str(), 1);
  ::setenv("TZ", "UTC", 1);
  ::setenv("LD_PRELOAD", VARN_CLOCK_SHIFT_LIBRARY, 1);
  ::setenv("VARN_TEST_CLOCK_START",
           std::to_string(options_.clockStart.time_since_epoch().count()).c_str(), 1);
  // The sanitizer runtime insists on coming first among preloaded libraries.
  std::string asan = "verify_asan_link_order=0";
  if (const char* old = std::getenv("ASAN_OPTIONS")) asan = std::string(old) + ":" + asan;
  ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
  ::unsetenv("JOURNAL_STREAM");
  if (!options_.notifySocket.empty()) {
    ::setenv("NOTIFY_SOCKET", options_.notifySocket.c_str(), 1);
    ::setenv("WATCHDOG_USEC", "400000", 1);
    ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
  }
  ::execl(VARN_HELPER_EXECUTABLE, "VarnHelper", static_cast<char*>(nullptr));
  ::_exit(122);
}

HelperProcess::~HelperProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

bool HelperProcess::running() {
  int status = 0;
  return pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0;
}

int HelperProcess::endWith(int signal) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  int status = 0;
  if (::waitpid(pid_, &status, 0) != pid_) return -1;
  pid_ = -1;
  ended_ = true;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

std::filesystem::path HelperProcess::seenByHelper(const std::filesystem::path& path) const {
  return std::filesystem::path("/proc") / std::to_string(pid_) / "root" / path.relative_path();
}

bool HelperProcess::inHelperNamespace(const std::function<bool()>& action) const {
  const std::string ns = "/proc/" + std::to_string(pid_) + "/ns/mnt";
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::open(ns.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::setns(fd, CLONE_NEWNS) != 0) ::_exit(1);
    ::_exit(action() ? 0 : 2);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace varn::e2e
