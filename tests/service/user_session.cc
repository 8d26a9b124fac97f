#include "user_session.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "support/eventually.h"
#include "support/mount_namespace.h"

namespace varn::service {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using support::CommandResult;
using support::run;
using support::spawn;
using support::stop;

// Checks that run a program are made this far apart.
constexpr milliseconds kPoll = 50ms;

constexpr const char* kUnit = "varn-helper.service";
constexpr const char* kInstalledUnit = "/usr/local/lib/systemd/user/varn-helper.service";
constexpr const char* kInstalledTmpfilesRule = "/usr/local/lib/tmpfiles.d/varn-helper.conf";

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

// The folders under /sys/fs/cgroup that track processes: the named systemd hierarchy and the
// unified one on a hybrid set-up, the root itself on a pure cgroup2 one.
std::vector<fs::path> processHierarchies() {
  std::vector<fs::path> found;
  for (const char* base : {"/sys/fs/cgroup/systemd", "/sys/fs/cgroup/unified", "/sys/fs/cgroup"}) {
    if (fs::exists(fs::path(base) / "cgroup.procs")) found.emplace_back(base);
  }
  return found;
}

void removeCgroup(const fs::path& cgroup) {
  std::error_code ignored;
  for (const fs::directory_entry& entry : fs::directory_iterator(cgroup, ignored)) {
    if (entry.is_directory(ignored)) removeCgroup(entry.path());
  }
  ::rmdir(cgroup.c_str());
}

// Creates the nodes that sandboxing options mount over the paths they hide, as PID 1 does at
// boot; without them every such option fails with 226/NAMESPACE.
std::string makeInaccessibleNodes(const fs::path& folder) {
  if (::mkdir(folder.c_str(), 0755) != 0) return failure("mkdir " + folder.native());
  const std::pair<const char*, mode_t> nodes[] = {{"reg", S_IFREG},  {"dir", S_IFDIR},
                                                  {"fifo", S_IFIFO}, {"sock", S_IFSOCK},
                                                  {"chr", S_IFCHR},  {"blk", S_IFBLK}};
  for (const auto& [name, mode] : nodes) {
    const fs::path path = folder / name;
    const int r = mode == S_IFDIR ? ::mkdir(path.c_str(), 0) : ::mknod(path.c_str(), mode, 0);
    if (r != 0 || ::chmod(path.c_str(), 0) != 0) return failure("make " + path.native());
  }
  return "";
}

// The [Service] settings of the installed unit that restrict the helper: every one but those
// that say how it is started, stopped and watched.
std::vector<std::string> sandboxOptions() {
  static const std::vector<std::string> kNotSandbox = {
      "Type", "ExecStart", "Restart", "RestartSec", "WatchdogSec", "TimeoutStopSec", "UMask"};
  std::vector<std::string> options;
  std::ifstream unit(kInstalledUnit);
  bool inService = false;
  for (std::string line; std::getline(unit, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      inService = line == "[Service]";
      continue;
    }
    const std::string key = line.substr(0, line.find('='));
    if (inService && std::find(kNotSandbox.begin(), kNotSandbox.end(), key) == kNotSandbox.end()) {
      options.push_back(line);
    }
  }
  return options;
}

}  // namespace

UserSession::UserSession() : runtimeDir_("/run/user/" + std::to_string(::getuid())) {
  const passwd* user = ::getpwuid(::getuid());
  home = user ? user->pw_dir : "/root";
}

UserSession::~UserSession() {
  // The manager stops the helper (and so shows the stop path once more) before it exits.
  stop(manager_, SIGTERM, 20s);
  stop(journald_, SIGTERM, 5s);
  for (const fs::path& cgroup : cgroups_) removeCgroup(cgroup);
  // So that a next session in this process starts from the host's folders again.
  for (auto at = mounts_.rbegin(); at != mounts_.rend(); ++at) ::umount2(at->c_str(), MNT_DETACH);
}

bool UserSession::start(std::string* why) {
  // /Users must exist on the host to be mounted on; an empty folder is all that is left there.
  if (::mkdir("/Users", 0755) != 0 && errno != EEXIST) {
    *why = failure("mkdir /Users");
    return false;
  }
  // /run is a tmpfs of its own on every booted machine; where it is only a folder, each
  // sandboxed service gets an empty /run instead, without the journal's sockets or the bus.
  for (const fs::path& at :
       {fs::path("/run"), fs::path("/var/log"), fs::path("/usr/local"), fs::path("/Users"), home}) {
    if (std::string e = support::mountTmpfs(at, at == home ? "mode=700" : "mode=755"); !e.empty()) {
      return *why = e, false;
    }
    mounts_.push_back(at);
  }
  for (const char* folder : {"/run/systemd", "/run/systemd/system", "/run/log", "/run/user"}) {
    ::mkdir(folder, 0755);
  }
  ::mkdir(runtimeDir_.c_str(), 0700);
  if (std::string e = makeInaccessibleNodes("/run/systemd/inaccessible"); !e.empty()) {
    return *why = e, false;
  }

  const CommandResult installed = run({VARN_CMAKE_COMMAND, "--install", VARN_BUILD_DIR});
  const CommandResult sharedFolder = run({"systemd-tmpfiles", "--create", kInstalledTmpfilesRule});
  if (installed.status != 0 || sharedFolder.status != 0) {
    *why = "cannot install the project: " + installed.output + sharedFolder.output;
    return false;
  }

  // The journal, with its own configuration in place of the host's.
  const fs::path journaldConf = dir / "journald.conf";
  std::ofstream(journaldConf) << "[Journal]\nStorage=volatile\nReadKMsg=no\nForwardToSyslog=no\n"
                                 "ForwardToWall=no\nForwardToConsole=no\n";
  if (std::string e = support::bindMount(journaldConf, "/etc/systemd/journald.conf"); !e.empty()) {
    return *why = e, false;
  }
  mounts_.push_back("/etc/systemd/journald.conf");
  const fs::path journald = fs::exists("/usr/lib/systemd/systemd-journald")
                                ? "/usr/lib/systemd/systemd-journald"
                                : "/lib/systemd/systemd-journald";
  journald_ = spawn({journald.native()}, dir / "journald.log");
  if (!support::eventually([] { return fs::exists("/run/systemd/journal/socket"); }, 10s)) {
    *why = "systemd-journald did not start (is the systemd package installed?)";
    return false;
  }

  // The session bus is the user manager's own (dbus-user-session), as on a desktop; the
  // stand-in main application is activatable from the user's own service folder.
  fs::create_directories(home / ".local/share/dbus-1/services");
  support::writeFile(
      home / ".local/share/dbus-1/services/com.varn.macos.service",
      "[D-BUS Service]\nName=com.varn.macos\nExec=" + std::string(VARN_FAKE_MAIN_APP) +
          " com.varn.macos " + (dir / "main-app.pid").native() + "\n");

  ::setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + runtimeDir_ + "/bus").c_str(), 1);
  ::setenv("TZ", "UTC", 1);
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("NOTIFY_SOCKET");
  return startManager(why) && switchOffRefusedOptions(why);
}

bool UserSession::startManager(std::string* why) {
  std::vector<fs::path> managerCgroups;
  // Shaped as a login session's manager ("<slice>/user@<uid>.service"), which is how the journal
  // tells a user unit's entries (_SYSTEMD_USER_UNIT) from a system unit's.
  const fs::path slice = "varn-test-" + std::to_string(::getpid()) + ".slice";
  const fs::path name = slice / ("user@" + std::to_string(::getuid()) + ".service");
  for (const fs::path& hierarchy : processHierarchies()) {
    if (::mkdir((hierarchy / slice).c_str(), 0755) == 0) cgroups_.push_back(hierarchy / slice);
    ::mkdir((hierarchy / name).c_str(), 0755);
    managerCgroups.push_back(hierarchy / name);
  }
  const fs::path systemd =
      fs::exists("/usr/lib/systemd/systemd") ? "/usr/lib/systemd/systemd" : "/lib/systemd/systemd";
  // Into the control groups before it starts, so that the manager's units never share one with
  // another session's.
  manager_ = spawn({systemd.native(), "--user"}, dir / "manager.log", [&managerCgroups] {
    for (const fs::path& cgroup : managerCgroups) {
      std::ofstream(cgroup / "cgroup.procs") << ::getpid();
    }
  });
  const bool up = support::eventually(
      [this] {
        const std::string state = systemctl({"is-system-running"}).output;
        // systemd-run --wait and the README's commands reach the manager over the bus.
        return (state.rfind("running", 0) == 0 || state.rfind("degraded", 0) == 0) &&
               run({"busctl", "--user", "call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                    "org.freedesktop.DBus", "NameHasOwner", "s", "org.freedesktop.systemd1"})
                       .output == "b true\n";
      },
      20s, kPoll);
  if (!up) *why = "systemd --user did not start: " + support::readFile(dir / "manager.log");
  return up;
}

bool UserSession::probe(const std::vector<std::string>& options, int attempt) {
  const std::string message = "varn-sandbox-probe-" + std::to_string(attempt);
  std::vector<std::string> argv = {"systemd-run", "--user", "--wait", "--quiet"};
  for (const std::string& option : options) argv.insert(argv.end(), {"-p", option});
  // A native journal entry, as the helper writes them: the socket must be reachable inside.
  argv.insert(argv.end(), {"/bin/sh", "-c", "echo MESSAGE=" + message + " | logger --journald"});
  if (run(argv).status != 0) return false;
  return support::eventually(
      [&] {
        return !journalctl({"-q", "MESSAGE=" + message}).output.empty();
      },
      3s, kPoll);
}

bool UserSession::switchOffRefusedOptions(std::string* why) {
  const std::vector<std::string> options = sandboxOptions();
  int attempt = 0;
  if (options.empty()) return *why = "no sandbox options found in the installed unit", false;
  if (probe(options, attempt++)) return true;
  std::string dropIn = "[Service]\n";
  for (const std::string& option : options) {
    if (probe({option}, attempt++)) continue;
    const std::string key = option.substr(0, option.find('='));
    switchedOff.push_back(key);
    // An empty assignment resets a setting to its default, which is off for all of them.
    dropIn += "# Refused by this kernel or namespace set-up: " + option + "\n" + key + "=\n";
  }
  const fs::path folder = home / ".config/systemd/user/varn-helper.service.d";
  fs::create_directories(folder);
  std::ofstream(folder / "50-refused-here.conf") << dropIn;
  return systemctl({"daemon-reload"}).status == 0 ||
         (*why = "daemon-reload failed after switching options off", false);
}

CommandResult UserSession::systemctl(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"systemctl", "--user", "--no-pager"});
  return run(arguments);
}

CommandResult UserSession::journalctl(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"journalctl", "--no-pager"});
  return run(arguments);
}

std::string UserSession::show(const std::string& property) {
  std::string value = systemctl({"show", "-p", property, "--value", kUnit}).output;
  return value.substr(0, value.find('\n'));
}

}  // namespace varn::service
