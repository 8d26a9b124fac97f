#pragma once

#include <sys/types.h>

#include <filesystem>
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
// a drop-in and named in `switchedOff`. Everything ends with the object.
class UserSession {
 public:
  UserSession();
  ~UserSession();
  UserSession(const UserSession&) = delete;
  UserSession& operator=(const UserSession&) = delete;

  // Brings the session up; false, with the reason in `why`, when it cannot.
  bool start(std::string* why);
  support::CommandResult systemctl(std::vector<std::string> arguments);
  support::CommandResult journalctl(std::vector<std::string> arguments);
  // The value of a property of the helper's unit.
  std::string show(const std::string& property);

  std::filesystem::path home;
  support::TempDir dir;
  std::vector<std::string> switchedOff;

 private:
  bool startManager(std::string* why);
  bool switchOffRefusedOptions(std::string* why);
  bool probe(const std::vector<std::string>& options, int attempt);

  std::string runtimeDir_;
  std::vector<std::filesystem::path> cgroups_, mounts_;
  pid_t journald_ = -1, manager_ = -1;
};

}  // namespace varn::service
