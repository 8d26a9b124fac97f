// A stand-in for the main application, started by D-Bus activation in tests and demos: it takes
// the bus name given as its first argument, optionally writes its pid to the file given as the
// second (before taking the name), and stays until the bus goes away.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s BUS_NAME [PID_FILE]\n", argv[0]);
    return 2;
  }
  sd_bus* bus = nullptr;
  int r = sd_bus_open_user(&bus);
  if (r < 0) {
    std::fprintf(stderr, "fake main app: cannot connect: %s\n", std::strerror(-r));
    return 1;
  }
  // Written before the name is taken, so whoever sees the name owned finds the file.
  if (argc > 2) std::ofstream(argv[2]) << ::getpid() << '\n';
  r = sd_bus_request_name(bus, argv[1], 0);
  if (r < 0) {
    std::fprintf(stderr, "fake main app: cannot take %s: %s\n", argv[1], std::strerror(-r));
    return 1;
  }
  for (;;) {
    r = sd_bus_process(bus, nullptr);
    if (r < 0) break;  // the bus went away
    if (r > 0) continue;
    if (sd_bus_wait(bus, UINT64_MAX) < 0) break;
  }
  sd_bus_flush_close_unref(bus);
  return 0;
}
