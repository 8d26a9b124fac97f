#pragma once

#include <sys/types.h>

#include <string>

#include "support/temp_dir.h"

namespace varn::support {

// dbus-daemon --print-address with a configuration of the test's own, whose service folder
// holds the services added before start(); stopped at the end of the scope.
class PrivateSessionBus {
 public:
  PrivateSessionBus();
  ~PrivateSessionBus();
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

  // Activating `name` runs the command line `exec`.
  void addService(const std::string& name, const std::string& exec);
  // False, with the reason in `error`, when the daemon does not start.
  bool start(std::string* error);
  // SIGSTOP: a bus that accepts connections and never answers; or SIGCONT.
  void freeze(bool frozen);
  const std::string& address() const { return address_; }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  std::string address_;
};

}  // namespace varn::support
