#include "support/private_session_bus.h"

#include <signal.h>
#include <sys/wait.h>

#include "support/eventually.h"
#include "support/process.h"

namespace varn::support {

PrivateSessionBus::PrivateSessionBus() {
  writeFile(dir_ / "bus.conf",
            "<busconfig><type>session</type><listen>unix:path=" + (dir_ / "bus").native() +
                "</listen><servicedir>" + dir_.path().native() +
                "</servicedir><policy context=\"default\">"
                "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow "
                "eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
}

PrivateSessionBus::~PrivateSessionBus() {
  freeze(false);
  stop(pid_, SIGTERM, std::chrono::seconds(5));
}

void PrivateSessionBus::freeze(bool frozen) {
  if (pid_ > 0) ::kill(pid_, frozen ? SIGSTOP : SIGCONT);
}

void PrivateSessionBus::addService(const std::string& name, const std::string& exec) {
  writeFile(dir_ / (name + ".service"), "[D-BUS Service]\nName=" + name + "\nExec=" + exec + "\n");
}

bool PrivateSessionBus::start(std::string* error) {
  const std::filesystem::path log = dir_ / "bus.log";
  pid_ = spawn({"dbus-daemon", "--config-file=" + (dir_ / "bus.conf").native(), "--nofork",
                "--print-address=1"},
               log);
  bool ended = false;  // a daemon that cannot run fails at once
  const auto listening = [&] {
    ended = ended || ::waitpid(pid_, nullptr, WNOHANG) == pid_;
    return ended || readFile(log).starts_with("unix:");
  };
  if (!eventually(listening, std::chrono::seconds(10)) || ended) {
    if (ended) pid_ = -1;
    *error = "dbus-daemon did not start (is the dbus-daemon package installed?): " + readFile(log);
    return false;
  }
  address_ = "unix:path=" + (dir_ / "bus").native();
  return true;
}

}  // namespace varn::support
