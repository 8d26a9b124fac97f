#include "support/private_session_bus.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/result.h"

#include "support/process.h"

namespace varn::support {

PrivateSessionBus::PrivateSessionBus(int serviceStartTimeoutMs)
    : serviceStartTimeoutMs_(serviceStartTimeoutMs) {
  std::filesystem::create_directory(dir_ / "services");
  writeFile(dir_ / "bus.conf",
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n"
            "  <type>session</type>\n"
            "  <listen>unix:dir=" +
                dir_.path().native() +
                "</listen>\n"
                "  <auth>EXTERNAL</auth>\n"
                "  <servicedir>" +
                (dir_ / "services").native() +
                "</servicedir>\n"
                "  <policy context=\"default\">\n"
                "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                "    <allow eavesdrop=\"true\"/>\n"
                "    <allow own=\"*\"/>\n"
                "  </policy>\n"
                "  <limit name=\"service_start_timeout\">" +
                std::to_string(serviceStartTimeoutMs_) +
                "</limit>\n"
                "</busconfig>\n");
}

PrivateSessionBus::~PrivateSessionBus() {
  if (pid_ > 0) stop(pid_, SIGTERM, std::chrono::seconds(5));
}

void PrivateSessionBus::addService(const std::string& name, const std::string& exec) {
  writeFile(dir_ / "services" / (name + ".service"),
            "[D-BUS Service]\nName=" + name + "\nExec=" + exec + "\n");
}

bool PrivateSessionBus::start(std::string* error) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) {
    *error = std::string("pipe: ") + errnoMessage(errno);
    return false;
  }
  const std::string config = "--config-file=" + (dir_ / "bus.conf").native();
  pid_ = ::fork();
  if (pid_ == 0) {
    ::close(pipeFds[0]);
    if (pipeFds[1] != 3) {
      ::dup2(pipeFds[1], 3);
      ::close(pipeFds[1]);
    }
    ::execlp("dbus-daemon", "dbus-daemon", config.c_str(), "--nofork", "--nopidfile",
             "--print-address=3", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  char buffer[512];
  std::string line;
  ssize_t n;
  while (line.find('\n') == std::string::npos &&
         (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) {
    line.append(buffer, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  if (line.find('\n') == std::string::npos) {
    *error = "dbus-daemon did not start (is the dbus-daemon package installed?)";
    return false;
  }
  address_ = line.substr(0, line.find('\n'));
  return true;
}

}  // namespace varn::support
