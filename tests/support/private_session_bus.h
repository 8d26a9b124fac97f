#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace varn::support {

// A dbus-daemon of the test's own, with its own service folder, stopped at the end of the scope.
// Add services before start(). A service has the daemon's usual 25 s to take its name, a limit
// no test waits for: one that fails exits, which the daemon notices at once.
class PrivateSessionBus {
 public:
  explicit PrivateSessionBus(int serviceStartTimeoutMs = 25'000);
  ~PrivateSessionBus();
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

  // Writes a D-Bus service file: activating `name` runs `exec` (a command line).
  void addService(const std::string& name, const std::string& exec);
  // Starts the daemon; false (with the reason in `error`) when it cannot be started.
  bool start(std::string* error);
  // Stops the daemon (SIGSTOP), as a bus that accepts connections and never answers, or lets
  // it go on again.
  void freeze(bool frozen);
  // The address to connect to ("unix:path=...").
  const std::string& address() const { return address_; }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  std::string address_;
};

}  // namespace varn::support
