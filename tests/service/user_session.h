#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

namespace varn::service {

// What a user's desktop session offers a user service, inside the private mount namespace:
//   - /run as a tmpfs of its own with what PID 1 leaves there on a booted machine (an empty
//     /run/systemd/system and the inaccessible nodes that sandboxing mounts over hidden paths),
//     /run/log and /var/log empty, the user's home on a tmpfs, /Users empty;
//   - systemd-journald with volatile storage and no kernel log;
//   - the user's session bus, which the manager starts (dbus-user-session), able to activate
//     the stand-in main application;
//   - `systemd --user` in a control group of its own (so that sessions of parallel tests never
//     share one), with TZ=UTC;
//   - the project installed onto a tmpfs over /usr/local, with /Users/Shared made by the
//     installed tmpfiles rule.
// Sandbox options of the installed unit that this kernel or set-up refuses are switched off by
// a drop-in and named in `switchedOff()`. Everything ends with the object.
class UserSession {
 public:
  UserSession();
  ~UserSession();
  UserSession(const UserSession&) = delete;
  UserSession& operator=(const UserSession&) = delete;

  // Brings the session up; false, with the reason in `why`, when it cannot.
  bool start(std::string* why);

  support::CommandResult systemctl(const std::vector<std::string>& arguments);
  support::CommandResult journalctl(const std::vector<std::string>& arguments);
  // The helper's main pid, or 0 when it does not run.
  pid_t helperPid();
  // What the manager itself has logged (to its stderr, as a manager outside a login session).
  std::string managerLog() const;
  // How many times the manager has restarted the helper.
  int restarts();

  const std::filesystem::path& home() const { return home_; }
  const std::filesystem::path& mainAppPidFile() const { return mainAppPidFile_; }
  const std::vector<std::string>& switchedOff() const { return switchedOff_; }

 private:
  bool startManager(std::string* why);
  bool switchOffRefusedOptions(std::string* why);
  bool probe(const std::vector<std::string>& options, int attempt);

  support::TempDir dir_;
  std::filesystem::path home_;
  std::filesystem::path mainAppPidFile_;
  std::string runtimeDir_;
  std::vector<std::filesystem::path> cgroups_;
  std::vector<std::filesystem::path> mounts_;
  std::vector<std::string> switchedOff_;
  pid_t journald_ = -1;
  pid_t manager_ = -1;
};

}  // namespace varn::service
