// A stand-in for the main application, started by D-Bus activation in tests and demos: it takes
// the bus name given as its first argument, optionally writes its pid to the file given as the
// second (before taking the name), and stays until the bus goes away.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

int main(int argc, char** argv) {
  sd_bus* bus = nullptr;
  int r = argc < 2 ? -EINVAL : sd_bus_open_user(&bus);
  // Written before the name is taken, so whoever sees the name owned finds the file.
  if (r >= 0 && argc > 2) std::ofstream(argv[2]) << ::getpid() << '\n';
  if (r >= 0) r = sd_bus_request_name(bus, argv[1], 0);
  if (r < 0) {
    std::fprintf(stderr, "usage: %s BUS_NAME [PID_FILE]; cannot take the name: %s\n", argv[0],
                 std::strerror(-r));
    return 1;
  }
  // Until the bus goes away.
  while ((r = sd_bus_process(bus, nullptr)) >= 0) {
    if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) break;
  }
  sd_bus_flush_close_unref(bus);
  return 0;
}
