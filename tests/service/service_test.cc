// The installed unit under a user's own `systemd --user` and journald, driven with the README's
// commands as the user. Root builds the session in this process's private mount namespace: the
// user exists only there, and the host's /etc and sysctls are left alone.
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/landlock.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "shared/blocking_rules.h"
#include "shared/focus_schedule.h"
#include "shared/mode.h"
#include "support/eventually.h"
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

// The helper's confinement entry, as this kernel's Landlock allows.
std::string confinement() {
  if (::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) < 0) {
    return "File system writes not confined: Landlock is not available";
  }
  return "File system writes confined beneath /Users, "
         "/home/varn-user/.local/share/group.com.varn.macos (Landlock ABI ";
}

bool eventually(const std::function<bool()>& condition, seconds timeout) {
  return support::eventually(condition, timeout, 100ms);
}

// A desktop session of a user who is not root, as a login makes it, with journald and
// `systemd --user` (TZ=UTC) in a delegated control group; the manager runs as on a host that
// refuses user namespaces: where the unit starts there, it starts everywhere.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!namespaceFailure.empty()) GTEST_SKIP() << namespaceFailure;
    while (::getpwuid(uid_) != nullptr || ::getgrgid(uid_) != nullptr) ++uid_;
    const std::string id = std::to_string(uid_);
    runtimeDir_ = "/run/user/" + id;
    mounts_ = {"/run",  "/var/log",    "/usr/local", "/Users",
               "/home", "/etc/passwd", "/etc/group", runtimeDir_};
    const CommandResult session = run({"sh", "-euc", R"(mkdir -p /Users
      for at in /run /var/log /usr/local /Users /home; do mount -t tmpfs -o mode=755 tmpfs $at; done
      mkdir -p /run/systemd/system /var/log/journal "$1" "/run/user/$0"
      { cat /etc/passwd; echo "varn-user:x:$0:$0::$1:/bin/sh"; } >/run/passwd
      { cat /etc/group; echo "varn-user:x:$0:"; } >/run/group
      mount --bind /run/passwd /etc/passwd && mount --bind /run/group /etc/group
      chown "$0:$0" "$1" && chmod 700 "$1"
      mount -t tmpfs -o "mode=700,uid=$0,gid=$0" tmpfs "/run/user/$0")",
                                       id, home_});
    ASSERT_EQ(session.status, 0) << session.output;
    journald_ = support::spawn({"/lib/systemd/systemd-journald"}, dir_ / "journald.log");
    const auto flushed = [] { return run({"journalctl", "--flush"}).status == 0; };
    ASSERT_TRUE(eventually(flushed, 10s))
        << "systemd-journald did not start (is the systemd package installed?)";

    const CommandResult installed = run({VARN_CMAKE_COMMAND, "--install", VARN_BUILD_DIR});
    ASSERT_EQ(installed.status, 0) << installed.output;
    const CommandResult sharedFolder =
        run({"systemd-tmpfiles", "--create", "/usr/local/lib/tmpfiles.d/varn-helper.conf"});
    ASSERT_EQ(sharedFolder.status, 0) << sharedFolder.output;
    writeUserFile(home_ / ".local/share/dbus-1/services/com.varn.macos.service",
                  "[D-BUS Service]\nName=com.varn.macos\nExec=" VARN_FAKE_MAIN_APP " -l " +
                      (home_ / "main-app.log").native() + "\n");
    ::setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + runtimeDir_.native() + "/bus").c_str(), 1);
    ::setenv("TZ", "UTC", 1);
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("NOTIFY_SOCKET");

    // "<slice>/user@<uid>.service", delegated to the user, as logind makes it.
    const std::string slice = "varn-test-" + std::to_string(::getpid()) + ".slice";
    std::vector<fs::path> managerCgroups;
    for (const fs::path hierarchy : {"/sys/fs/cgroup/systemd", "/sys/fs/cgroup/unified",
                                     "/sys/fs/cgroup"}) {  // hybrid set-ups, or pure cgroup2
      if (!fs::exists(hierarchy / "cgroup.procs")) continue;
      if (::mkdir((hierarchy / slice).c_str(), 0755) == 0) cgroups_.push_back(hierarchy / slice);
      managerCgroups.push_back(hierarchy / slice / ("user@" + id + ".service"));
      ::mkdir(managerCgroups.back().c_str(), 0755);
      for (const fs::directory_entry& entry : fs::directory_iterator(managerCgroups.back())) {
        ASSERT_EQ(::chown(entry.path().c_str(), uid_, uid_), 0) << entry.path();
      }
      ASSERT_EQ(::chown(managerCgroups.back().c_str(), uid_, uid_), 0);
    }
    // In a user namespace of the user's own in which no further one can be made (on a host that
    // refuses them the first unshare fails, and the manager runs as it is), without capabilities.
    const std::string manager = "/lib/systemd/systemd --user";
    manager_ = support::spawn(
        {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "sh", "-c",
         "unshare -c true 2>/dev/null || exec " + manager +
             "; exec unshare -c --keep-caps sh -c 'echo 0 > /proc/sys/user/max_user_namespaces &&"
             " exec setpriv --inh-caps=-all --ambient-caps=-all " +
             manager + "'"},
        dir_ / "manager.log", [&] {
          for (const fs::path& cgroup : managerCgroups)
            std::ofstream(cgroup / "cgroup.procs") << ::getpid();
          ::setenv("HOME", home_.c_str(), 1);
          ::setenv("USER", "varn-user", 1);
        });
    const auto up = [this] {
      const std::string state = systemctl({"is-system-running"}).output;
      return (state == "running\n" || state == "degraded\n") &&
             asUser({"busctl", "--user", "call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                     "org.freedesktop.DBus", "NameHasOwner", "s", "org.freedesktop.systemd1"})
                     .output == "b true\n";
    };
    ASSERT_TRUE(eventually(up, 20s))
        << "systemd --user did not start: " << readFile(dir_ / "manager.log");
    // LeakSanitizer needs ptrace, which the unit denies; the e2e run checks for leaks.
    ASSERT_EQ(systemctl({"set-environment", "ASAN_OPTIONS=detect_leaks=0"}).status, 0);
  }

  ~ServiceTest() override {
    if (frozenBus_ > 0) ::kill(frozenBus_, SIGCONT);
    support::stop(manager_, SIGTERM, 20s);
    support::stop(journald_, SIGTERM, 5s);
    for (const fs::path& cgroup : cgroups_)
      run({"find", cgroup, "-depth", "-type", "d", "-delete"});
    for (auto at = mounts_.rbegin(); at != mounts_.rend(); ++at) ::umount2(at->c_str(), MNT_DETACH);
  }

  CommandResult asUser(std::vector<std::string> argv, seconds timeout = 60s) {
    const std::string id = std::to_string(uid_);
    argv.insert(argv.begin(), {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "env",
                               "HOME=" + home_.native()});
    return run(argv, timeout);
  }
  CommandResult systemctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"systemctl", "--user", "--no-pager"});
    return asUser(arguments);
  }
  CommandResult journalctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"journalctl", "--user", "--no-pager"});
    return asUser(arguments);
  }
  // Written by root, owned by the user (with the folders made on the way up to the home).
  void writeUserFile(const fs::path& path, const std::string& contents) {
    writeFile(path, contents);
    for (fs::path at = path; at != home_ && at.has_relative_path(); at = at.parent_path()) {
      ASSERT_EQ(::chown(at.c_str(), uid_, uid_), 0) << at;
    }
  }
  // Properties of the helper's unit ("A,B"), from one answer of the manager.
  std::string show(const std::string& names) {
    return systemctl({"show", "-p", names, kUnit}).output;
  }
  bool replaced(pid_t old, seconds timeout) {
    const auto restarted = [&] {
      const std::string unit = show("ActiveState,MainPID");
      return unit.find("ActiveState=active\n") != std::string::npos &&
             unit.find("MainPID=0\n") == std::string::npos &&
             unit.find("MainPID=" + std::to_string(old) + "\n") == std::string::npos;
    };
    return eventually(restarted, timeout);
  }

  // An enabled schedule over every whole day; with `days` empty, one that never covers now.
  void writeSchedule(std::vector<Weekday> days) {
    const Mode mode{platform::Uuid::random(), "Deep work", "brain", ModeType::block,
                    {"news.example.com"},     {},          false,   std::nullopt};
    const fs::path data = home_ / ".local/share/group.com.varn.macos";
    writeUserFile(data / "modes.json", encodeModes({mode}));
    writeUserFile(data / "schedules.json",
                  encodeFocusSchedules({{platform::Uuid::random(), "All day", mode.id,
                                         std::move(days), 0, 1440, 0, 300, true}}));
  }

  void startHelper() {
    const CommandResult started = systemctl({"start", kUnit});
    ASSERT_EQ(started.status, 0) << started.output << systemctl({"status", kUnit}).output;
    ASSERT_EQ(systemctl({"is-active", kUnit}).output, "active\n");
  }
  pid_t helperPid() { return std::atoi(show("MainPID").c_str() + 8); }  // after "MainPID="
  std::string helperJournal() {
    return journalctl({"-q", "-p", "debug", "-u", "varn-helper"}).output;
  }

  uid_t uid_ = 4711;
  const fs::path home_ = "/home/varn-user";
  fs::path runtimeDir_;
  support::TempDir dir_;
  std::vector<fs::path> cgroups_, mounts_;
  pid_t journald_ = -1, manager_ = -1, frozenBus_ = -1;
};

// Each `systemctl --user` and `journalctl --user` line of the README, verbatim, with what it must
// show and leave out.
TEST_F(ServiceTest, TheReadmeCommandsStartItAndReadItsJournalWithItsFields) {
  writeSchedule({});  // enabled but never active: a debug entry of the evaluator each pass
  const std::map<std::string, std::pair<std::string, std::string>> expected{
      {"systemctl --user daemon-reload", {"", "Failed"}},
      {"systemctl --user enable --now varn-helper.service", {"Created symlink", "Failed"}},
      {"systemctl --user status varn-helper.service", {"active (running)", "Failed"}},
      {"journalctl --user -u varn-helper -f",
       {"Blocking rules watcher started.", "entry of another program"}},
      {"journalctl --user -u varn-helper LOG_CATEGORY=schedule-evaluator",
       {"'All day' not active", "watcher"}},
      {"journalctl --user LOG_SUBSYSTEM=com.varn.macos.helper", {"watcher started", "not active"}},
      {"journalctl --user -u varn-helper -p debug", {confinement(), "entry of another program"}},
  };
  ASSERT_EQ(asUser({"systemd-cat", "-t", "other", "echo", "entry of another program"}).status, 0);
  ASSERT_TRUE(eventually(
      [&] { return journalctl({}).output.find("entry of another program") != std::string::npos; },
      5s));
  std::istringstream readme(readFile(VARN_SOURCE_DIR "/README.md"));
  std::set<std::string> ran;
  bool inShell = false;
  for (std::string line; std::getline(readme, line);) {
    if (line.starts_with("```")) inShell = line == "```sh";
    line = std::regex_replace(line, std::regex(" *#.*$"), "");
    if (!inShell || !std::regex_match(line, std::regex("(systemctl|journalctl) --user .*"))) {
      continue;
    }
    ASSERT_TRUE(expected.contains(line)) << "the README's command has no expectation: " << line;
    std::istringstream words(line);
    std::vector<std::string> argv{std::istream_iterator<std::string>(words), {}};
    if (argv[0] == "journalctl") {
      argv.insert(argv.begin() + 1, "--no-pager");
      ASSERT_TRUE(
          eventually([&] { return helperJournal().find("not active") != std::string::npos; }, 10s));
    }
    const CommandResult result = asUser(argv, line.ends_with(" -f") ? 3s : 60s);
    const auto& [finds, leavesOut] = expected.at(line);
    EXPECT_NE(result.output.find(finds), std::string::npos) << line << ":\n" << result.output;
    EXPECT_EQ(result.output.find(leavesOut), std::string::npos) << line << ":\n" << result.output;
    ran.insert(line);
  }
  EXPECT_EQ(ran.size(), expected.size()) << "a command expected here is gone from the README";

  // varnctl reads the running unit and the helper's errors since its start.
  writeUserFile(home_ / ".local/share/group.com.varn.macos/schedules.json", "[{\"days\":[8]}]");
  ASSERT_TRUE(eventually(
      [&] { return helperJournal().find("Failed to load schedules") != std::string::npos; }, 20s));
  const CommandResult status = asUser({"/usr/local/bin/varnctl", "status", "--json"});
  EXPECT_EQ(status.status, 1) << status.output;
  const nlohmann::json report = nlohmann::json::parse(status.output, nullptr, false);
  EXPECT_EQ(report["helper"]["state"], "active") << status.output;
  EXPECT_EQ(report["helper"]["pid"], helperPid()) << status.output;
  EXPECT_NE(report["problems"].dump().find("the helper logged an error at "), std::string::npos)
      << status.output;
}

// The app group folder made again (wherever XDG_DATA_HOME puts it) ends the helper, and its
// restart sweeps there.
class AppGroupFolderTest : public ServiceTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(AppGroupFolderTest, IsMadeAtStartAndSweptAgainOnceMadeAgain) {
  fs::path dataHome = home_ / ".local/share";
  if (*GetParam() != '\0') {
    dataHome = GetParam();
    ASSERT_EQ(run({"mount", "-t", "tmpfs", "-o", "uid=" + std::to_string(uid_), "tmpfs", dataHome})
                  .status,
              0);
    mounts_.push_back(dataHome);
    ASSERT_EQ(systemctl({"set-environment", "XDG_DATA_HOME=" + dataHome.native()}).status, 0);
  }
  startHelper();
  const fs::path folder = dataHome / "group.com.varn.macos", file = folder / "blocking-rules.json";
  const auto hourAgo = time_point_cast<nanoseconds>(system_clock::now() - 1h);
  const std::string expired = encodeBlockingRules(
      {platform::Uuid::random(), BlockingRules::Mode::block, {"example.com"}, hourAgo, {}});
  const pid_t first = helperPid();
  fs::remove_all(folder);
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(::chown(folder.c_str(), uid_, uid_), 0);
  writeFile(file, expired);
  ASSERT_TRUE(replaced(first, 40s)) << helperJournal();
  EXPECT_TRUE(eventually([&] { return !fs::exists(file); }, 5s)) << helperJournal();
  const std::string journal = helperJournal();
  EXPECT_NE(journal.find("Granted folder " + folder.native() + " was replaced"), std::string::npos)
      << journal;
  EXPECT_EQ(show("NRestarts"), "NRestarts=1\n");  // Restart=on-failure: it did not end with 0
  EXPECT_EQ(journal.find("File coordination error"), std::string::npos) << journal;
}

INSTANTIATE_TEST_SUITE_P(DataHome, AppGroupFolderTest, ::testing::Values("", "/mnt"),
                         [](const auto& param) {
                           return std::string(*param.param ? "XdgDataHomeOutsideHome" : "Default");
                         });

TEST_F(ServiceTest, WritesAScheduledSessionBeforeReadyAndStartsTheMainAppThroughTheBus) {
  writeSchedule({kAllWeekdays.begin(), kAllWeekdays.end()});
  startHelper();
  // READY=1 comes after the first evaluation: the session is on file, the user's.
  const Result<BlockingRules> session = decodeBlockingRules(readFile(kSharedRules));
  ASSERT_TRUE(session.ok()) << readFile(kSharedRules) << helperJournal();
  EXPECT_EQ(session.value().hosts, std::vector<std::string>{"news.example.com"});
  struct stat st {};
  ASSERT_EQ(::stat(kSharedRules.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, uid_);
  EXPECT_TRUE(eventually([&] { return fs::exists(home_ / "main-app.log"); }, 10s))
      << helperJournal();
  EXPECT_NE(helperJournal().find("Launched main app for scheduled session enforcement"),
            std::string::npos);
}

// A filter refuses Landlock here, as a kernel without it does: the helper runs unconfined.
TEST_F(ServiceTest, RunsUnconfinedWithoutLandlockAndStopsCleanlyWithStatusZero) {
  writeUserFile(home_ / ".config/systemd/user/varn-helper.service.d/no-landlock.conf",
                "[Service]\nSystemCallFilter=~landlock_create_ruleset\n");
  ASSERT_EQ(systemctl({"daemon-reload"}).status, 0);
  writeSchedule({kAllWeekdays.begin(), kAllWeekdays.end()});
  startHelper();
  EXPECT_NE(helperJournal().find("writes not confined: Landlock is not available: Operation not "
                                 "permitted"),
            std::string::npos);
  const auto before = steady_clock::now();
  ASSERT_EQ(systemctl({"stop", kUnit}).status, 0);
  EXPECT_LT(steady_clock::now() - before, 20s);  // the unit's TimeoutStopSec
  EXPECT_EQ(show("Result") + show("ExecMainStatus"), "Result=success\nExecMainStatus=0\n");
}

// A silent session bus fails the launch at its reply timeout while the loop goes on (after READY).
TEST_F(ServiceTest, KeepsTheLoopTurningWhileTheBusIsSilent) {
  frozenBus_ =
      std::atoi(systemctl({"show", "-p", "MainPID", "--value", "dbus.service"}).output.c_str());
  ASSERT_GT(frozenBus_, 0);
  ASSERT_EQ(::kill(frozenBus_, SIGSTOP), 0);
  writeSchedule({kAllWeekdays.begin(), kAllWeekdays.end()});
  // A session in force for 20 s more: the launch comes with the first tick after it ended.
  const auto soon = time_point_cast<nanoseconds>(system_clock::now() + 20s);
  writeFile(
      kSharedRules,
      encodeBlockingRules({platform::Uuid::random(), BlockingRules::Mode::block, {}, soon, {}}));
  ASSERT_EQ(::chown(kSharedRules.c_str(), uid_, uid_), 0);
  startHelper();
  const pid_t helper = helperPid();
  std::string journal;
  ASSERT_TRUE(eventually(
      [&] {
        journal = helperJournal();
        return journal.find(
                   "Failed to launch main app for scheduled session: NameHasOwner: "
                   "Connection timed out") != std::string::npos;
      },
      90s))
      << journal;
  // A tick came between the launch and its failure, and the same process runs.
  const size_t activated = journal.find("activated blocking");
  ASSERT_NE(activated, std::string::npos) << journal;
  EXPECT_LT(journal.find("Blocking already active", activated),
            journal.find("Failed to launch main app", activated))
      << journal;
  EXPECT_EQ(show("NRestarts") + show("MainPID"),
            "NRestarts=0\nMainPID=" + std::to_string(helper) + "\n");
}

// Timers refused (a filter denies their descriptor) fail the start: no READY=1, status 1.
TEST_F(ServiceTest, FailsItsStartWhenItsTimersAreRefused) {
  writeUserFile(home_ / ".config/systemd/user/varn-helper.service.d/no-timers.conf",
                "[Service]\nWatchdogSec=0\nSystemCallFilter=~timerfd_create\n");
  ASSERT_EQ(systemctl({"daemon-reload"}).status, 0);
  EXPECT_NE(systemctl({"start", kUnit}).status, 0);
  EXPECT_NE(helperJournal().find("Failed to start the timers: sd_event_add_time: Operation not "
                                 "permitted"),
            std::string::npos)
      << helperJournal();
  EXPECT_EQ(show("ExecMainStatus"), "ExecMainStatus=1\n");
}

}  // namespace

}  // namespace varn::service

int main(int argc, char** argv) {
  // Before gtest or anything else starts a thread: a process with threads cannot unshare.
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    varn::service::namespaceFailure =
        std::string("no private mount namespace: ") + std::strerror(errno);
  else
    varn::service::namespaceFailure.clear();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
