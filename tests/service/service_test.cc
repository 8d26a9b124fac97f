// The installed helper as users run it: the shipped unit under a real `systemd --user` and
// `systemd-journald`, driven with systemctl, read back with journalctl. Each test brings up a
// session of its own in this process's private mount namespace.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <tuple>

#include "shared/blocking_rules.h"
#include "shared/focus_schedule.h"
#include "shared/mode.h"
#include "support/eventually.h"
#include "support/mount_namespace.h"
#include "support/process.h"
#include "support/temp_dir.h"

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

// What a user's desktop session offers a user service, in the mount namespace: tmpfs over /run,
// /var/log, /Users, the home and /usr/local (where the project is installed); systemd-journald;
// `systemd --user` (TZ=UTC) in control groups of its own, so that parallel tests never share one,
// with a session bus that activates the stand-in main application.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!namespaceFailure.empty()) GTEST_SKIP() << namespaceFailure;

    // /Users must exist on the host to be mounted on; an empty folder is all that is left there.
    ASSERT_TRUE(::mkdir("/Users", 0755) == 0 || errno == EEXIST);
    // Where /run is only a folder, each sandboxed service gets an empty /run of its own,
    // without the journal's sockets or the bus.
    for (const fs::path& at : {fs::path("/run"), fs::path("/var/log"), fs::path("/usr/local"),
                               fs::path("/Users"), home_}) {
      ASSERT_EQ(support::mountTmpfs(at, at == home_ ? "mode=700" : "mode=755"), "");
      mounts_.push_back(at);
    }
    // The nodes sandboxing mounts over the paths it hides, as PID 1 makes them at boot; without
    // them every such option fails with 226/NAMESPACE.
    const fs::path hidden = "/run/systemd/inaccessible";
    fs::create_directories("/run/systemd/system");
    fs::create_directories(hidden / "dir");
    fs::create_directories(runtimeDir_);
    fs::permissions(runtimeDir_, fs::perms::owner_all);
    fs::permissions(hidden / "dir", fs::perms::none);
    const char* names[] = {"reg", "fifo", "sock", "chr", "blk"};
    const mode_t modes[] = {S_IFREG, S_IFIFO, S_IFSOCK, S_IFCHR, S_IFBLK};
    for (int i = 0; i < 5; ++i) ASSERT_EQ(::mknod((hidden / names[i]).c_str(), modes[i], 0), 0);

    const CommandResult installed = run({VARN_CMAKE_COMMAND, "--install", VARN_BUILD_DIR});
    ASSERT_EQ(installed.status, 0) << installed.output;
    const CommandResult sharedFolder =
        run({"systemd-tmpfiles", "--create", "/usr/local/lib/tmpfiles.d/varn-helper.conf"});
    ASSERT_EQ(sharedFolder.status, 0) << sharedFolder.output;

    // With no /var/log/journal, the journal is kept in memory (in /run/log).
    journald_ = support::spawn({"/lib/systemd/systemd-journald"}, dir_ / "journald.log");
    ASSERT_TRUE(eventually([] { return fs::exists("/run/systemd/journal/socket"); }, 10s))
        << "systemd-journald did not start (is the systemd package installed?)";

    // The session bus is the user manager's own (dbus-user-session), as on a desktop.
    writeFile(home_ / ".local/share/dbus-1/services/com.varn.macos.service",
              "[D-BUS Service]\nName=com.varn.macos\nExec=" VARN_FAKE_MAIN_APP " com.varn.macos " +
                  (dir_ / "main-app.pid").native() + "\n");
    ::setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + runtimeDir_ + "/bus").c_str(), 1);
    ::setenv("TZ", "UTC", 1);
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("NOTIFY_SOCKET");

    // Shaped as a login session's manager ("<slice>/user@<uid>.service"), which is how the
    // journal tells a user unit's entries (_SYSTEMD_USER_UNIT) from a system unit's. The manager
    // goes into it before it starts, so that its units never share a group with another session's.
    const std::string slice = "varn-test-" + std::to_string(::getpid()) + ".slice";
    std::vector<fs::path> managerCgroups;
    for (const fs::path hierarchy : {"/sys/fs/cgroup/systemd", "/sys/fs/cgroup/unified",
                                     "/sys/fs/cgroup"}) {  // hybrid set-ups, or pure cgroup2
      if (!fs::exists(hierarchy / "cgroup.procs")) continue;
      if (::mkdir((hierarchy / slice).c_str(), 0755) == 0) cgroups_.push_back(hierarchy / slice);
      managerCgroups.push_back(hierarchy / slice /
                               ("user@" + std::to_string(::getuid()) + ".service"));
      ::mkdir(managerCgroups.back().c_str(), 0755);
    }
    manager_ = support::spawn({"/lib/systemd/systemd", "--user"}, dir_ / "manager.log", [&] {
      for (const fs::path& cgroup : managerCgroups)
        std::ofstream(cgroup / "cgroup.procs") << ::getpid();
    });
    // systemd-run --wait and the README's commands reach the manager over the bus.
    const auto up = [this] {
      const std::string state = systemctl({"is-system-running"}).output;
      return (state == "running\n" || state == "degraded\n") &&
             run({"busctl", "--user", "call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                  "org.freedesktop.DBus", "NameHasOwner", "s", "org.freedesktop.systemd1"})
                     .output == "b true\n";
    };
    ASSERT_TRUE(eventually(up, 20s))
        << "systemd --user did not start: " << readFile(dir_ / "manager.log");
    ASSERT_NO_FATAL_FAILURE(switchOffRefusedSandboxOptions());
  }

  ~ServiceTest() override {
    // The manager stops the helper (and so shows the stop path once more) before it exits.
    support::stop(manager_, SIGTERM, 20s);
    support::stop(journald_, SIGTERM, 5s);
    for (const fs::path& cgroup : cgroups_)
      run({"find", cgroup, "-depth", "-type", "d", "-delete"});
    // So that a next test in this process starts from the host's folders again.
    for (auto at = mounts_.rbegin(); at != mounts_.rend(); ++at) ::umount2(at->c_str(), MNT_DETACH);
  }

  // Sandbox options of the installed unit (its [Service] lines but those that say how it is
  // started, stopped and watched) that this kernel or set-up refuses are switched off by a
  // drop-in and named, so that such a machine runs the tests instead of failing every one.
  void switchOffRefusedSandboxOptions() {
    const std::set<std::string> notSandbox = {
        "Type", "ExecStart", "Restart", "RestartSec", "WatchdogSec", "TimeoutStopSec", "UMask"};
    std::vector<std::string> options;
    std::ifstream unit("/usr/local/lib/systemd/user/varn-helper.service");
    bool inService = false;
    for (std::string line; std::getline(unit, line);) {
      if (line.starts_with('[')) inService = line == "[Service]";
      const std::string name = line.substr(0, line.find('='));
      if (inService && name != line && !name.starts_with('#') && !notSandbox.contains(name))
        options.push_back(line);
    }
    ASSERT_FALSE(options.empty()) << "no sandbox options found in the installed unit";
    // Whether a service with `set` runs and reaches the journal, as the helper must.
    int probes = 0;
    const auto works = [&](const std::vector<std::string>& set) {
      const std::string message = "MESSAGE=varn-sandbox-probe-" + std::to_string(probes++);
      std::vector<std::string> argv = {"systemd-run", "--user", "--wait", "--quiet"};
      for (const std::string& option : set) argv.insert(argv.end(), {"-p", option});
      argv.insert(argv.end(), {"/bin/sh", "-c", "echo " + message + " | logger --journald"});
      const auto logged = [&] { return !journalctl({"-q", message}).output.empty(); };
      return run(argv).status == 0 && eventually(logged, 3s);
    };
    std::string dropIn = "[Service]\n", names;
    for (const std::string& option : options) {
      if (probes == 0 && works(options)) break;
      if (works({option})) continue;
      names += " " + option;
      // An empty assignment resets a setting to its default, which is off for all of them.
      dropIn += option.substr(0, option.find('=')) + "=\n";
    }
    std::cout << "Sandbox options refused on this machine, switched off by a drop-in:"
              << (names.empty() ? " none" : names) << std::endl;
    writeFile(home_ / ".config/systemd/user/varn-helper.service.d/50-refused-here.conf", dropIn);
    ASSERT_EQ(systemctl({"daemon-reload"}).status, 0);
  }

  CommandResult systemctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"systemctl", "--user", "--no-pager"});
    return run(arguments);
  }
  CommandResult journalctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"journalctl", "--no-pager"});
    return run(arguments);
  }
  // Properties of the helper's unit ("A,B"), "Name=value" a line, all from one answer of the
  // manager, so that they describe the same moment.
  std::string show(const std::string& names) {
    return systemctl({"show", "-p", names, kUnit}).output;
  }
  // Whether a new helper process replaced `old` and reported ready again within `timeout`. Between
  // the two the manager shows the old pid until it reaped it, then 0 until RestartSec has passed.
  bool replaced(pid_t old, seconds timeout) {
    const auto restarted = [&] {
      const std::string unit = show("ActiveState,MainPID");
      return unit.find("ActiveState=active\n") != std::string::npos &&
             unit.find("MainPID=0\n") == std::string::npos &&
             unit.find("MainPID=" + std::to_string(old) + "\n") == std::string::npos;
    };
    return eventually(restarted, timeout);
  }

  // An enabled schedule over every whole day, so it covers now; or, with `days` empty, one that
  // never does.
  void writeSchedule(std::vector<Weekday> days) {
    const Mode mode{platform::Uuid::random(), "Deep work", "brain", ModeType::block,
                    {"news.example.com"},     {},          false,   std::nullopt};
    writeFile(home_ / ".local/share/group.com.varn.macos/modes.json", encodeModes({mode}));
    writeFile(home_ / ".local/share/group.com.varn.macos/schedules.json",
              encodeFocusSchedules({{platform::Uuid::random(), "All day", mode.id, std::move(days),
                                     0, 1440, 0, 300, true}}));
  }

  void startHelper() {
    const CommandResult started = systemctl({"start", kUnit});
    ASSERT_EQ(started.status, 0) << started.output << systemctl({"status", kUnit}).output;
    ASSERT_EQ(systemctl({"is-active", kUnit}).output, "active\n");
  }
  pid_t helperPid() { return std::atoi(show("MainPID").c_str() + 8); }  // after "MainPID="
  std::string helperJournal() { return journalctl({"-q", "SYSLOG_IDENTIFIER=VarnHelper"}).output; }

  const fs::path home_ = ::getpwuid(::getuid())->pw_dir;
  const std::string runtimeDir_ = "/run/user/" + std::to_string(::getuid());
  support::TempDir dir_;
  std::vector<fs::path> cgroups_, mounts_;
  pid_t journald_ = -1, manager_ = -1;
};

TEST_F(ServiceTest, StartsActiveAndLogsToTheJournalWithItsFields) {
  writeSchedule({});  // enabled but never active: a debug entry of the evaluator each pass
  startHelper();
  const auto logged = [&] {
    const std::string journal = helperJournal();
    return journal.find("watcher started") != std::string::npos &&
           journal.find("not active") != std::string::npos;
  };
  ASSERT_TRUE(eventually(logged, 5s)) << helperJournal();

  // Every entry is the unit's and carries the fields the README's filters select on.
  std::istringstream lines(journalctl({"-o", "json", "SYSLOG_IDENTIFIER=VarnHelper"}).output);
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json entry = nlohmann::json::parse(line);
    EXPECT_EQ(entry.value("_SYSTEMD_USER_UNIT", ""), kUnit) << line;
    for (const char* name : {"PRIORITY", "LOG_SUBSYSTEM", "LOG_CATEGORY"}) {
      EXPECT_TRUE(entry.contains(name)) << name << " in " << line;
    }
  }
  // The README's filters in their form for root, whose services the journal files in the system
  // journal (no --user; the unit named by --user-unit): what each finds and what it leaves out.
  const std::string unit = "--user-unit=varn-helper";
  for (const auto& [filter, finds, leavesOut] :
       std::vector<std::tuple<std::vector<std::string>, std::string, std::string>>{
           {{unit}, "Blocking rules watcher started.", ""},
           {{unit, "LOG_CATEGORY=schedule-evaluator"}, "'All day' not active", "watcher"},
           {{"LOG_SUBSYSTEM=com.varn.macos.helper"}, "watcher started", "not active"},
           {{unit, "-p", "debug"}, "'All day' not active", ""}}) {
    std::vector<std::string> argv{"-q"};
    argv.insert(argv.end(), filter.begin(), filter.end());
    const std::string found = journalctl(argv).output;
    EXPECT_NE(found.find(finds), std::string::npos) << filter.back() << ":\n" << found;
    EXPECT_TRUE(leavesOut.empty() || found.find(leavesOut) == std::string::npos) << found;
  }
}

// The app group folder usually appears after the helper started (the main application makes
// it), and XDG_DATA_HOME may put it anywhere; the helper must lock and sweep there all the same.
class AppGroupFolderTest : public ServiceTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(AppGroupFolderTest, AnExpiredRulesFileInAFolderMadeAfterTheStartIsSwept) {
  fs::path dataHome = home_ / ".local/share";
  if (*GetParam() != '\0') {
    dataHome = GetParam();
    ASSERT_EQ(support::mountTmpfs(dataHome, "mode=755"), "");
    mounts_.push_back(dataHome);
    ASSERT_EQ(systemctl({"set-environment", "XDG_DATA_HOME=" + dataHome.native()}).status, 0);
  }
  startHelper();
  const fs::path file = dataHome / "group.com.varn.macos/blocking-rules.json";
  const auto hourAgo = time_point_cast<nanoseconds>(system_clock::now() - 1h);
  const std::string expired = encodeBlockingRules(
      {platform::Uuid::random(), BlockingRules::Mode::block, {"example.com"}, hourAgo, {}});

  // Swept on the next change in /Users/Shared...
  writeFile(file, expired);
  writeFile(kShared / "unrelated", "");
  EXPECT_TRUE(eventually([&] { return !fs::exists(file); }, 5s)) << helperJournal();

  // ...and by the 60-second sweep, with nothing else happening.
  writeFile(file, expired);
  EXPECT_TRUE(eventually([&] { return !fs::exists(file); }, 70s)) << helperJournal();
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
  EXPECT_TRUE(eventually([&] { return fs::exists(dir_ / "main-app.pid"); }, 10s))
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
  ASSERT_TRUE(replaced(first, 20s));
  EXPECT_EQ(show("NRestarts"), "NRestarts=1\n");

  const auto before = steady_clock::now();
  ASSERT_EQ(systemctl({"stop", kUnit}).status, 0);
  EXPECT_LT(steady_clock::now() - before, 15s);  // the unit's TimeoutStopSec
  EXPECT_EQ(show("Result") + show("ExecMainStatus"), "Result=success\nExecMainStatus=0\n");
  // Nothing half-written: the session file and its lock, and no temporary file beside them.
  std::set<std::string> left;
  for (const fs::directory_entry& entry : fs::directory_iterator(kShared))
    left.insert(entry.path().filename());
  EXPECT_EQ(left, (std::set<std::string>{"com.varn.macos.blocking-rules.json",
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
  EXPECT_TRUE(eventually([&] { return show("Result") == "Result=watchdog\n"; }, 50s));
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
  EXPECT_EQ(st.st_mode & (S_IFMT | 07777), S_IFDIR | 01777u);
  EXPECT_EQ(st.st_uid, 0u);
}

}  // namespace varn::service

int main(int argc, char** argv) {
  // Before gtest or anything else starts a thread: a process with threads cannot unshare.
  varn::service::namespaceFailure = varn::support::enterPrivateMountNamespace();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
