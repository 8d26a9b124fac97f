// The installed helper as users run it: the shipped unit under a real `systemd --user` and
// `systemd-journald`, driven with systemctl, read back with journalctl. Each test brings up a
// session of its own (see UserSession) in this process's private mount namespace.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "shared/blocking_rules.h"
#include "shared/focus_schedule.h"
#include "shared/mode.h"
#include "support/eventually.h"
#include "support/mount_namespace.h"
#include "support/temp_dir.h"
#include "user_session.h"

namespace varn::service {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using support::CommandResult;
using support::readFile;
using support::run;
using support::writeFile;

constexpr const char* kUnit = "varn-helper.service";
const fs::path kShared = "/Users/Shared";
const fs::path kSharedRules = kShared / "com.varn.macos.blocking-rules.json";

std::string namespaceFailure = "not entered";

// Each check runs a program, so checks are made far apart.
bool eventually(const std::function<bool()>& condition, seconds timeout) {
  return support::eventually(condition, timeout, 100ms);
}

std::string rulesEndingAt(system_clock::time_point endsAt) {
  return encodeBlockingRules({platform::Uuid::random(),
                              BlockingRules::Mode::block,
                              {"example.com"},
                              time_point_cast<nanoseconds>(endsAt),
                              {}});
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!namespaceFailure.empty()) GTEST_SKIP() << namespaceFailure;
    std::string why;
    ASSERT_TRUE(session_.start(&why)) << why;
    // The probe's finding is part of every test's output, refused options or none.
    std::string names;
    for (const std::string& name : session_.switchedOff) names += " " + name;
    std::cout << "Sandbox options refused on this machine, switched off by a drop-in:"
              << (names.empty() ? " none" : names) << std::endl;
  }

  static fs::path container(const fs::path& dataHome) { return dataHome / "group.com.varn.macos"; }
  fs::path defaultDataHome() const { return session_.home / ".local/share"; }
  pid_t helperPid() { return std::stoi(session_.show("MainPID")); }
  // Whether a new helper process replaced `old` within `timeout`.
  bool replaced(pid_t old, seconds timeout) {
    return eventually([&] { return helperPid() != 0 && helperPid() != old; }, timeout);
  }

  // An enabled schedule over every whole day, so it covers now; or, with `days` empty, one that
  // never does.
  void writeSchedule(std::vector<Weekday> days) {
    const Mode mode{platform::Uuid::random(), "Deep work", "brain", ModeType::block,
                    {"news.example.com"},     {},          false,   std::nullopt};
    fs::create_directories(container(defaultDataHome()));
    writeFile(container(defaultDataHome()) / "modes.json", encodeModes({mode}));
    writeFile(container(defaultDataHome()) / "schedules.json",
              encodeFocusSchedules({{platform::Uuid::random(), "All day", mode.id, std::move(days),
                                     0, 1440, 0, 300, true}}));
  }

  void startHelper() {
    const CommandResult started = session_.systemctl({"start", kUnit});
    ASSERT_EQ(started.status, 0) << started.output << session_.systemctl({"status", kUnit}).output;
    ASSERT_EQ(session_.systemctl({"is-active", kUnit}).output, "active\n");
  }

  std::string helperJournal() {
    return session_.journalctl({"-q", "SYSLOG_IDENTIFIER=VarnHelper"}).output;
  }

  UserSession session_;
};

TEST_F(ServiceTest, StartsActiveAndLogsToTheJournalWithItsFields) {
  writeSchedule({});  // enabled but never active: a debug entry of the evaluator each pass
  startHelper();
  ASSERT_TRUE(
      eventually([&] { return helperJournal().find("watcher started") != std::string::npos; }, 5s))
      << helperJournal();

  const CommandResult json = session_.journalctl({"-o", "json", "SYSLOG_IDENTIFIER=VarnHelper"});
  std::istringstream lines(json.output);
  int entries = 0;
  for (std::string line; std::getline(lines, line); ++entries) {
    const nlohmann::json entry = nlohmann::json::parse(line);
    EXPECT_EQ(entry.value("_SYSTEMD_USER_UNIT", ""), kUnit) << line;
    ASSERT_TRUE(entry.contains("PRIORITY") && entry.contains("LOG_SUBSYSTEM") &&
                entry.contains("LOG_CATEGORY"))
        << line;
    if (entry["MESSAGE"] == "Blocking rules watcher started.") {
      EXPECT_EQ(entry["PRIORITY"], "5");
      EXPECT_EQ(entry["LOG_SUBSYSTEM"], "com.varn.macos.helper");
      EXPECT_EQ(entry["LOG_CATEGORY"], "blocking-rules-watcher");
    }
  }
  EXPECT_GE(entries, 3);

  // The README's filters. The journal keeps the entries of root's services in the system's
  // journal, not in a user journal, so as root "--user" finds nothing there: root leaves it
  // out and names the unit with --user-unit.
  const bool root = ::getuid() == 0;
  const auto readme = [&](const std::vector<std::string>& filter, bool byUnit = true) {
    std::vector<std::string> argv = {"-q"};
    if (!root) argv.emplace_back("--user");
    if (byUnit) argv.emplace_back(root ? "--user-unit=varn-helper" : "--unit=varn-helper");
    argv.insert(argv.end(), filter.begin(), filter.end());
    return session_.journalctl(argv).output;
  };
  const std::string category = readme({"LOG_CATEGORY=schedule-evaluator"});
  EXPECT_NE(category.find("'All day' not active"), std::string::npos) << category;
  EXPECT_EQ(category.find("watcher"), std::string::npos) << category;
  EXPECT_NE(readme({}).find("Blocking rules watcher started."), std::string::npos);
  EXPECT_NE(readme({"-p", "debug"}).find("'All day' not active"), std::string::npos);
  EXPECT_NE(readme({"LOG_SUBSYSTEM=com.varn.macos.helper"}, false).find("watcher started"),
            std::string::npos);
}

// The app group folder usually appears after the helper started (the main application makes
// it), and XDG_DATA_HOME may put it anywhere; the helper must lock and sweep there all the same.
class AppGroupFolderTest : public ServiceTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(AppGroupFolderTest, AnExpiredRulesFileInAFolderMadeAfterTheStartIsSwept) {
  fs::path dataHome = defaultDataHome();
  if (*GetParam() != '\0') {
    dataHome = GetParam();
    ASSERT_EQ(support::mountTmpfs(dataHome, "mode=755"), "");
    ASSERT_EQ(session_.systemctl({"set-environment", "XDG_DATA_HOME=" + dataHome.native()}).status,
              0);
  }
  startHelper();
  const fs::path rules = container(dataHome) / "blocking-rules.json";
  fs::create_directories(container(dataHome));
  const auto expired = system_clock::now() - hours(1);

  // Swept on the next change in /Users/Shared...
  writeFile(rules, rulesEndingAt(expired));
  writeFile(kShared / "unrelated", "");
  EXPECT_TRUE(eventually([&] { return !fs::exists(rules); }, 5s)) << helperJournal();

  // ...and by the 60-second sweep, with nothing else happening.
  writeFile(rules, rulesEndingAt(expired));
  EXPECT_TRUE(eventually([&] { return !fs::exists(rules); }, 70s)) << helperJournal();
  EXPECT_EQ(helperJournal().find("File coordination error"), std::string::npos) << helperJournal();
}

INSTANTIATE_TEST_SUITE_P(DataHome, AppGroupFolderTest, ::testing::Values("", "/mnt"),
                         [](const auto& param) {
                           return std::string(*param.param ? "XdgDataHomeOutsideHome" : "Default");
                         });

TEST_F(ServiceTest, WritesAScheduledSessionBeforeReadyAndStartsTheMainAppThroughTheBus) {
  writeSchedule({kAllWeekdays.begin(), kAllWeekdays.end()});
  startHelper();
  // The manager reports the unit started only on READY=1, which comes after the first
  // evaluation: the session is on file already.
  const Result<BlockingRules> session = decodeBlockingRules(readFile(kSharedRules));
  ASSERT_TRUE(session.ok()) << readFile(kSharedRules) << helperJournal();
  EXPECT_EQ(session.value().hosts, std::vector<std::string>{"news.example.com"});
  EXPECT_TRUE(eventually([&] { return fs::exists(session_.dir / "main-app.pid"); }, 10s))
      << helperJournal();
  EXPECT_NE(helperJournal().find("Launched main app for scheduled session enforcement"),
            std::string::npos);
}

TEST_F(ServiceTest, IsRestartedAfterSigkillAndStopsCleanlyWithStatusZero) {
  writeSchedule({kAllWeekdays.begin(), kAllWeekdays.end()});
  startHelper();
  const pid_t first = helperPid();
  ASSERT_GT(first, 0);
  ASSERT_EQ(::kill(first, SIGKILL), 0);
  EXPECT_TRUE(replaced(first, 20s));
  EXPECT_EQ(session_.show("NRestarts"), "1");

  const auto before = steady_clock::now();
  ASSERT_EQ(session_.systemctl({"stop", kUnit}).status, 0);
  EXPECT_LT(steady_clock::now() - before, 15s);  // the unit's TimeoutStopSec
  EXPECT_EQ(session_.show("Result") + " " + session_.show("ExecMainStatus"), "success 0");
  // Nothing half-written: the session file and its lock, and no temporary file beside them.
  std::vector<std::string> left;
  for (const fs::directory_entry& entry : fs::directory_iterator(kShared)) {
    left.push_back(entry.path().filename());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"com.varn.macos.blocking-rules.json",
                                            "com.varn.macos.blocking-rules.json.lock"}));
  EXPECT_TRUE(decodeBlockingRules(readFile(kSharedRules)).ok());
}

TEST_F(ServiceTest, IsRestartedByTheWatchdogWhenItStopsResponding) {
  startHelper();
  const pid_t stopped = helperPid();
  ASSERT_GT(stopped, 0);
  const auto before = steady_clock::now();
  ASSERT_EQ(::kill(stopped, SIGSTOP), 0);
  // The manager ends it for the missed watchdog, not before the unit's WatchdogSec of 30 s, and
  // restarts it RestartSec later.
  EXPECT_TRUE(eventually([&] { return session_.show("Result") == "watchdog"; }, 50s));
  EXPECT_GE(steady_clock::now() - before, 29s);
  EXPECT_TRUE(replaced(stopped, 15s));
}

}  // namespace

// Needs no session: the rule alone, applied under a scratch root.
TEST(TmpfilesRule, MakesTheSharedFolderStickyAndWorldWritable) {
  support::TempDir root;
  const CommandResult made = run({"systemd-tmpfiles", "--create", "--root=" + root.path().native(),
                                  VARN_SOURCE_DIR "/dist/varn-helper.tmpfiles.conf"});
  ASSERT_EQ(made.status, 0) << made.output;
  struct stat st {};
  ASSERT_EQ(::stat((root / "Users/Shared").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 01777u);
  EXPECT_EQ(st.st_uid, 0u);
}

}  // namespace varn::service

int main(int argc, char** argv) {
  // Before gtest or anything else starts a thread: a process with threads cannot unshare.
  varn::service::namespaceFailure = varn::support::enterPrivateMountNamespace();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
