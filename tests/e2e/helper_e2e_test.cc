// The real VarnHelper as a service manager runs it, in a private mount namespace with a /Users of
// its own: what only the process shows (the notify socket, signals, a dead stderr reader).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <utility>

#include "shared/blocking_rules.h"
#include "support/eventually.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace varn::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

// A guard against a hang, far beyond any delay of a loaded machine: not a bound on its speed.
constexpr seconds kNever{30};

std::string receive(int fd, milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return "";
  char buffer[512];
  const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

TEST(HelperE2eTest, PingsItsWatchdogOutlivesItsStderrReaderAndStopsWithStatusZero) {
  if (::geteuid() != 0) GTEST_SKIP() << "a private mount namespace needs root";
  support::TempDir dir;
  const fs::path rules = dir / "Users/Shared/com.varn.macos.blocking-rules.json";
  fs::create_directories(rules.parent_path());
  ASSERT_TRUE(::mkdir("/Users", 0755) == 0 || errno == EEXIST);  // to mount on; left empty
  const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  std::strncpy(address.sun_path, (dir / "notify").c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  int stderrPipe[2];
  ASSERT_EQ(::pipe2(stderrPipe, O_CLOEXEC), 0);
  pid_t helper = support::spawn(
      {"unshare", "-m", "--propagation", "private", "sh", "-c",
       R"(mount --bind "$0" /Users && exec "$@")", dir / "Users", "env", "-u", "JOURNAL_STREAM",
       "-u", "LD_PRELOAD", "XDG_DATA_HOME=" + (dir / "data").native(),
       "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent",
       "NOTIFY_SOCKET=" + (dir / "notify").native(), "WATCHDOG_USEC=400000",
       VARN_HELPER_EXECUTABLE},
      {}, [&] { ::dup2(stderrPipe[1], STDERR_FILENO); });
  ::close(stderrPipe[1]);
  const std::shared_ptr<void> killed(nullptr, [&](void*) { support::stop(helper, SIGKILL, 5s); });

  // As in `VarnHelper 2>&1 | head -n 1`: the reader takes one line and exits.
  char c = 0;
  pollfd line{stderrPipe[0], POLLIN, 0};
  while (::poll(&line, 1, 30'000) == 1 && ::read(stderrPipe[0], &c, 1) == 1 && c != '\n') {
  }
  ::close(stderrPipe[0]);
  ASSERT_EQ(c, '\n') << "no line on stderr";
  std::string message;
  while ((message = receive(notify, kNever)).find("READY=1") == std::string::npos) {
    ASSERT_NE(message, "") << "no READY=1";
  }
  // Its 400 ms watchdog pinged again and again; one that never is, or once, fails.
  int pings = 0;
  for (const auto end = steady_clock::now() + kNever; pings < 3 && steady_clock::now() < end;) {
    pings += receive(notify, 100ms) == "WATCHDOG=1";
  }
  EXPECT_EQ(pings, 3);
  // Each sweep logs to the pipe without a reader; the second record goes only if the helper
  // lived through the first one's entry.
  for (int sweep = 0; sweep < 2; ++sweep) {
    support::writeFile(dir / "Users/incoming.json",
                       encodeBlockingRules({platform::Uuid::random(),
                                            {},
                                            {"example.com"},
                                            time_point_cast<nanoseconds>(system_clock::now() - 1h),
                                            {}}));
    fs::rename(dir / "Users/incoming.json", rules);
    ASSERT_TRUE(support::eventually([&] { return !fs::exists(rules); }, kNever)) << sweep;
  }

  EXPECT_EQ(support::stop(std::exchange(helper, -1), SIGINT, kNever), 0);
  bool stopping = false;
  while (!(message = receive(notify, 500ms)).empty()) stopping |= message == "STOPPING=1";
  EXPECT_TRUE(stopping);
  ::close(notify);
}

}  // namespace
}  // namespace varn::e2e
