// The real VarnHelper process, in a private mount namespace with its own /Users, data folder and
// session bus: only the wiring that no unit test can show (the service manager's notify socket,
// signals, a dead stderr reader).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>

#include "shared/blocking_rules.h"
#include "shared/focus_schedule.h"
#include "shared/mode.h"
#include "support/eventually.h"
#include "support/helper_process.h"
#include "support/mount_namespace.h"
#include "support/private_session_bus.h"
#include "support/temp_dir.h"

namespace varn::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using support::eventually;
using support::readFile;
using support::writeFile;

// A fixed zone in which it is now between 11:00 and 13:00, far from the midnight that ends the
// all-day schedule below.
std::string zoneAroundNoon() {
  const auto now = system_clock::now();
  const long hour = duration_cast<hours>(now - floor<days>(now)).count();
  const long offset = std::clamp(12 - hour, -12L, 14L);  // hours east of UTC
  return offset >= 0 ? "Etc/GMT-" + std::to_string(offset) : "Etc/GMT+" + std::to_string(-offset);
}

class HelperE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!support::canMountOnUsers(&why)) GTEST_SKIP() << why;
    fs::create_directories(shared_);
    fs::permissions(shared_, fs::perms(01777));
    bus_.addService("com.varn.macos", std::string(VARN_FAKE_MAIN_APP) + " com.varn.macos " +
                                          (dir_ / "main-app.pid").native());
    if (!bus_.start(&why)) GTEST_SKIP() << why;
  }

  void startHelper(const fs::path& notifySocket = {}, int stderrFd = -1) {
    helper_ = std::make_unique<support::HelperProcess>(
        support::HelperProcess::Options{.executable = VARN_HELPER_EXECUTABLE,
                                        .usersFolder = dir_ / "Users",
                                        .dataHome = dir_ / "data",
                                        .logFile = dir_ / "helper.log",
                                        .busAddress = bus_.address(),
                                        .zone = zoneAroundNoon(),
                                        .notifySocket = notifySocket,
                                        .stderrFd = stderrFd});
  }

  // A mode and an enabled schedule over every whole day that uses it.
  void writeAllDaySchedule() {
    const Mode mode{platform::Uuid::random(), "Deep work", "brain", ModeType::block,
                    {"news.example.com"},     {},          false,   std::nullopt};
    const std::vector<Weekday> everyDay(kAllWeekdays.begin(), kAllWeekdays.end());
    const FocusSchedule schedule{
        platform::Uuid::random(), "All day", mode.id, everyDay, 0, 1440, 0, 300, true};
    writeFile(dir_ / "data/group.com.varn.macos/modes.json", encodeModes({mode}));
    writeFile(dir_ / "data/group.com.varn.macos/schedules.json", encodeFocusSchedules({schedule}));
  }

  void TearDown() override {
    if (HasFailure() && helper_) {
      for (const std::string& line : helper_->logLines()) std::cerr << "helper: " << line << '\n';
    }
  }

  support::TempDir dir_;
  fs::path shared_ = dir_ / "Users" / "Shared";
  fs::path rules_ = shared_ / "com.varn.macos.blocking-rules.json";
  support::PrivateSessionBus bus_;
  std::unique_ptr<support::HelperProcess> helper_;
};

// A guard against a hang, far beyond any delay of a loaded machine: not a bound on its speed.
constexpr seconds kNever{30};

// The next datagram on `fd` within `timeout`, or "".
std::string receive(int fd, milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return "";
  char buffer[512];
  const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

TEST_F(HelperE2eTest, TellsItsServiceManagerWhenReadyAliveAndStoppingThenEndsWithStatusZero) {
  writeAllDaySchedule();
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    fs::remove(rules_);
    const fs::path socketPath = dir_ / ("notify-" + std::to_string(signal));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    startHelper(socketPath);

    // READY=1 only once the first evaluation has written the session.
    std::string message;
    while ((message = receive(fd, kNever)).find("READY=1") == std::string::npos) {
      ASSERT_NE(message, "") << "no READY=1";
    }
    const Result<BlockingRules> session = decodeBlockingRules(readFile(rules_));
    ASSERT_TRUE(session.ok());
    EXPECT_EQ(session.value().hosts, std::vector<std::string>{"news.example.com"});
    // The session's main application, activated through the bus (it stays for the second round).
    if (signal == SIGTERM) {
      EXPECT_TRUE(eventually([&] { return fs::exists(dir_ / "main-app.pid"); }, kNever));
    }
    // The run loop pings its 400 ms watchdog again and again; one that never does, or once, fails.
    int pings = 0;
    for (const auto end = steady_clock::now() + kNever; pings < 3 && steady_clock::now() < end;) {
      pings += receive(fd, milliseconds(100)) == "WATCHDOG=1";
    }
    EXPECT_EQ(pings, 3);

    EXPECT_EQ(helper_->endWith(signal), 0);
    bool stopping = false;
    while (!(message = receive(fd, milliseconds(500))).empty()) stopping |= message == "STOPPING=1";
    EXPECT_TRUE(stopping);
    ::close(fd);
    helper_.reset();
  }
}

TEST_F(HelperE2eTest, KeepsRunningWhenTheReaderOfItsStderrGoesAway) {
  // As in `VarnHelper 2>&1 | head -n 1`: the reader takes one line and exits.
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  startHelper({}, fds[1]);
  ::close(fds[1]);
  char c = 0;
  pollfd line{fds[0], POLLIN, 0};
  const int wait = static_cast<int>(milliseconds(kNever).count());
  while (::poll(&line, 1, wait) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n') {
  }
  ::close(fds[0]);
  ASSERT_EQ(c, '\n') << "no line on stderr";
  // Expired records to sweep, each logged to a pipe without a reader. Sweeps run one at a time,
  // so the second record goes only if the helper lived through the first one's entry.
  const auto hourAgo = time_point_cast<nanoseconds>(system_clock::now() - hours(1));
  for (int sweep = 0; sweep < 2; ++sweep) {
    writeFile(dir_ / "Users" / "incoming.json",
              encodeBlockingRules({platform::Uuid::random(), {}, {"example.com"}, hourAgo, {}}));
    fs::rename(dir_ / "Users" / "incoming.json", rules_);
    ASSERT_TRUE(eventually([&] { return !fs::exists(rules_); }, kNever)) << sweep;
  }
  EXPECT_TRUE(helper_->running());
  EXPECT_EQ(helper_->endWith(SIGTERM), 0);
}

}  // namespace
}  // namespace varn::e2e
