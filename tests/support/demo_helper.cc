// Runs the real helper as the demo shows it: in a private mount namespace with <root>/Users on
// /Users and XDG_DATA_HOME at <root>/data, its log in <root>/helper.log, TZ=UTC, and a private
// session bus whose only service is the stand-in main application (writing its pid to
// <root>/main-app.pid). Runs until SIGTERM or SIGINT, or until the helper ends; then stops both.
//
//   varn_demo_helper <VarnHelper> <stand-in main app> <root>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "support/helper_process.h"
#include "support/mount_namespace.h"
#include "support/private_session_bus.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <VarnHelper> <stand-in main app> <root>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path root = argv[3];
  std::string why;
  varn::support::PrivateSessionBus bus;
  bus.addService("com.varn.macos",
                 std::string(argv[2]) + " com.varn.macos " + (root / "main-app.pid").native());
  if (!varn::support::canMountOnUsers(&why) || !bus.start(&why)) {
    std::fprintf(stderr, "demo: %s\n", why.c_str());
    return 1;
  }
  std::printf("bus: %s\n", bus.address().c_str());
  std::fflush(stdout);

  struct sigaction action {};
  action.sa_handler = requestStop;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  varn::support::HelperProcess helper({.executable = argv[1],
                                       .usersFolder = root / "Users",
                                       .dataHome = root / "data",
                                       .logFile = root / "helper.log",
                                       .busAddress = bus.address(),
                                       .zone = "UTC"});
  while (!stopRequested && helper.running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!helper.running()) return 1;
  return helper.endWith(SIGTERM);
}
