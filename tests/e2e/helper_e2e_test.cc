// The real VarnHelper process, in a private mount namespace with its own /Users, data folder,
// session bus and wall clock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

#include "shared/blocking_rules.h"
#include "shared/focus_schedule.h"
#include "shared/mode.h"
#include "support/eventually.h"
#include "support/helper_process.h"
#include "support/lock_holding_child.h"
#include "support/mount_namespace.h"
#include "support/private_session_bus.h"
#include "support/temp_dir.h"

namespace varn::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using support::canMountOnUsers;
using support::eventually;
using support::HelperProcess;
using support::readFile;
using support::writeFile;

constexpr const char* kRulesFileName = "com.varn.macos.blocking-rules.json";
// Monday 2 March 2026, 10:30 UTC.
const sys_seconds kStart = sys_days(year(2026) / 3 / 2) + hours(10) + minutes(30);

class HelperE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!canMountOnUsers(&why)) GTEST_SKIP() << why;
    fs::create_directories(shared_);
    fs::permissions(shared_, fs::perms(01777));
    fs::create_directories(container_);
    bus_.addService("com.varn.macos", std::string(VARN_FAKE_MAIN_APP) + " com.varn.macos " +
                                          (dir_ / "main-app.pid").native());
    if (!bus_.start(&why)) GTEST_SKIP() << why;
  }

  void startHelper(const fs::path& notifySocket = {}, int stderrFd = -1) {
    helper_ = std::make_unique<HelperProcess>(
        HelperProcess::Options{.executable = VARN_HELPER_EXECUTABLE,
                               .usersFolder = dir_ / "Users",
                               .dataHome = dir_ / "data",
                               .logFile = dir_ / "helper.log",
                               .busAddress = bus_.address(),
                               .clockShiftLibrary = VARN_CLOCK_SHIFT_LIBRARY,
                               .clockStart = kStart,
                               .zone = "UTC",
                               .notifySocket = notifySocket,
                               .stderrFd = stderrFd});
  }

  // A mode and an enabled Monday schedule from 09:00 to 12:00 that uses it.
  void writeScheduleCoveringTheStart() {
    const Mode mode{platform::Uuid::random(), "Deep work", "brain", ModeType::block,
                    {"news.example.com"},     {},          false,   std::nullopt};
    const FocusSchedule schedule{
        platform::Uuid::random(), "Morning", mode.id, {Weekday::monday}, 540, 720, 0, 300, true};
    writeFile(container_ / "modes.json", encodeModes({mode}));
    writeFile(container_ / "schedules.json", encodeFocusSchedules({schedule}));
  }

  // The session in the shared file, once there is one that decodes: the helper creates the file
  // empty before it replaces it with the record.
  std::optional<BlockingRules> waitForSession() {
    std::optional<BlockingRules> found;
    eventually(
        [&] {
          Result<BlockingRules> rules = decodeBlockingRules(readFile(shared_ / kRulesFileName));
          if (rules.ok()) found = rules.value();
          return found.has_value();
        },
        seconds(5));
    return found;
  }

  std::string rulesEndingAt(sys_seconds endsAt) {
    return encodeBlockingRules(
        {platform::Uuid::random(), BlockingRules::Mode::block, {"example.com"}, endsAt, {}});
  }

  void TearDown() override {
    if (helper_ && !helper_->ended()) {
      EXPECT_TRUE(helper_->running()) << "the helper exited or crashed";
    }
    if (HasFailure() && helper_) {
      for (const std::string& line : helper_->logLines()) std::cerr << "helper: " << line << '\n';
    }
  }

  support::TempDir dir_;
  fs::path shared_ = dir_ / "Users" / "Shared";
  fs::path container_ = dir_ / "data" / "group.com.varn.macos";
  support::PrivateSessionBus bus_{2000};
  std::unique_ptr<HelperProcess> helper_;
};

TEST_F(HelperE2eTest, ALaunchInsideAScheduleWritesTheSessionAndOpensTheMainApp) {
  writeScheduleCoveringTheStart();
  startHelper();
  std::optional<BlockingRules> rules = waitForSession();
  ASSERT_TRUE(rules.has_value());
  EXPECT_EQ(rules->hosts, std::vector<std::string>{"news.example.com"});
  EXPECT_EQ(rules->endsAt, kStart + minutes(90));
  EXPECT_EQ(fs::status(shared_ / kRulesFileName).permissions(), fs::perms(0644));

  ASSERT_TRUE(eventually(
      [&] { return helper_->logCount("Launched main app for scheduled session enforcement") == 1; },
      seconds(5)));
  EXPECT_TRUE(fs::exists(dir_ / "main-app.pid"));
  EXPECT_EQ(helper_->logCount("default [com.varn.macos/schedule-evaluator] Schedule 'Morning' "
                              "activated blocking until <private>"),
            1u);
  EXPECT_EQ(helper_->logCount("Blocking rules watcher started."), 1u);

  // The next tick finds the session active and launches nothing more.
  ASSERT_TRUE(eventually(
      [&] { return helper_->logCount("Blocking already active, skipping evaluation") == 1; },
      seconds(20)));
  EXPECT_EQ(helper_->logCount("Launched main app for scheduled session enforcement"), 1u);
}

// The next datagram on `fd` within `timeout`, or "".
std::string receive(int fd, milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return "";
  char buffer[512];
  const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

TEST_F(HelperE2eTest, TellsItsServiceManagerWhenReadyAliveAndStoppingThenEndsWithStatusZero) {
  writeScheduleCoveringTheStart();
  size_t starts = 0;  // the two helpers share one log file
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    fs::remove(shared_ / kRulesFileName);
    const fs::path socketPath = dir_ / ("notify-" + std::to_string(signal));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    startHelper(socketPath);

    // READY=1 only once the start sequence is done: the watcher runs and the first evaluation
    // has written the session.
    std::string message;
    while ((message = receive(fd, seconds(5))).find("READY=1") == std::string::npos) {
      ASSERT_NE(message, "") << "no READY=1";
    }
    EXPECT_EQ(helper_->logCount("Blocking rules watcher started."), ++starts);
    EXPECT_TRUE(decodeBlockingRules(readFile(shared_ / kRulesFileName)).ok());
    // The run loop pings a 400 ms watchdog at least every 200 ms.
    int pings = 0;
    for (const auto end = steady_clock::now() + milliseconds(1000); steady_clock::now() < end;) {
      pings += receive(fd, milliseconds(100)) == "WATCHDOG=1";
    }
    EXPECT_GE(pings, 3);

    EXPECT_EQ(helper_->endWith(signal), 0);
    bool stopping = false;
    while (!(message = receive(fd, milliseconds(500))).empty()) stopping |= message == "STOPPING=1";
    EXPECT_TRUE(stopping);
    ::close(fd);
    helper_.reset();
  }
}

TEST_F(HelperE2eTest, ASaveInProgressCompletesBeforeSigtermEndsTheHelper) {
  // Another user holds the lock, so the first evaluation's save waits out the lock bound before
  // it falls back to a direct write; SIGTERM arrives during that wait.
  writeScheduleCoveringTheStart();
  support::LockHoldingChild holder(shared_ / kRulesFileName, LOCK_EX);
  ASSERT_TRUE(holder.held());
  startHelper();
  std::this_thread::sleep_for(seconds(1));
  EXPECT_EQ(helper_->endWith(SIGTERM), 0);
  EXPECT_TRUE(decodeBlockingRules(readFile(shared_ / kRulesFileName)).ok());
  EXPECT_EQ(helper_->logCount("File coordination error during save: <private>"), 1u);
}

TEST_F(HelperE2eTest, KeepsRunningWhenTheReaderOfItsStderrGoesAway) {
  // As in `VarnHelper 2>&1 | head -n 1`: the reader takes one line and exits.
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  startHelper({}, fds[1]);
  ::close(fds[1]);
  char c = 0;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') {
  }
  ::close(fds[0]);
  // Every entry from now on is written to a pipe without a reader.
  writeFile(dir_ / "Users" / "incoming.json", rulesEndingAt(kStart - hours(1)));
  fs::rename(dir_ / "Users" / "incoming.json", shared_ / kRulesFileName);
  ASSERT_TRUE(eventually([&] { return !fs::exists(shared_ / kRulesFileName); }, seconds(2)));
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_TRUE(helper_->running());
  EXPECT_EQ(helper_->endWith(SIGTERM), 0);
}

}  // namespace
}  // namespace varn::e2e
