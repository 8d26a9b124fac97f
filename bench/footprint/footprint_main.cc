// varn_footprint: what the real helper costs while nothing happens, and how fast it removes an
// expired rules file. Runs a VarnHelper executable in a private mount namespace on realistic
// files (10 modes of 50 sites, 10 schedules, none of which covers the current time, so every
// pass reads and decodes all three files and computes every window), then reports memory, CPU
// and wakeups over an idle period, and the delay from renaming an expired rules file into the
// watched folder to its removal. Needs root (or CAP_SYS_ADMIN). scripts/footprint runs it.
//
//   varn_footprint --helper <VarnHelper> [--floor <varn_library_floor>] [--idle <seconds>]
//                  [--removals <count>]
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "bench_files.h"
#include "proc_stats.h"
#include "removal_probe.h"
#include "support/eventually.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace varn::bench {
namespace {

using namespace std::chrono;

constexpr const char* kRulesFileName = "com.varn.macos.blocking-rules.json";
constexpr const char* kNotActive = "not active for current time";

struct Options {
  std::string helper;
  std::string floor;  // varn_library_floor, or empty
  int idleSeconds = 120;
  int removals = 200;
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: varn_footprint --helper <VarnHelper> [--floor <varn_library_floor>]\n"
               "                      [--idle <seconds>] [--removals <count>]\n");
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--helper") {
      options.helper = argv[i + 1];
    } else if (flag == "--floor") {
      options.floor = argv[i + 1];
    } else if (flag == "--idle") {
      options.idleSeconds = std::atoi(argv[i + 1]);
    } else if (flag == "--removals") {
      options.removals = std::atoi(argv[i + 1]);
    } else {
      usage();
    }
  }
  if (argc % 2 == 0 || options.helper.empty() || options.idleSeconds < 1 || options.removals < 1) {
    usage();
  }
  return options;
}

// The helper in a private mount namespace with `root`/Users on /Users and XDG_DATA_HOME at
// `root`/data, no session bus and the caller's zone, as a user's session would run it; its log
// in `root`/helper.log. Killed at the end of the scope.
struct HelperProcess {
  explicit HelperProcess(const std::string& executable, const std::filesystem::path& root)
      : log(root / "helper.log") {
    pid = support::spawn(
        {"unshare", "-m", "--propagation", "private", "sh", "-c",
         R"(mount --bind "$0/Users" /Users && XDG_DATA_HOME=$0/data exec "$@")", root, "env", "-u",
         "JOURNAL_STREAM", "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", executable},
        log);
  }
  ~HelperProcess() { support::stop(pid, SIGKILL, seconds(5)); }
  bool running() const { return ::waitpid(pid, nullptr, WNOHANG) == 0; }
  size_t logCount(std::string_view text) const {
    const std::string lines = support::readFile(log);
    size_t n = 0;
    for (size_t at = lines.find(text); at != std::string::npos; at = lines.find(text, at + 1)) ++n;
    return n;
  }
  pid_t pid;
  std::filesystem::path log;
};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "footprint: %s\n", what);
  std::exit(1);
}

ProcessSample sampleOrFail(const HelperProcess& helper) {
  std::optional<ProcessSample> sample = sampleProcess(helper.pid);
  if (!sample || !helper.running()) fail("the helper is gone");
  return *sample;
}

void printMemory(const char* when, const ProcessSample& s) {
  std::printf(
      "%-28s VmRSS %5lld KiB (anonymous %4lld, files %5lld), Pss %5lld KiB, private %5lld KiB\n",
      when, static_cast<long long>(s.rssKiB), static_cast<long long>(s.anonKiB),
      static_cast<long long>(s.fileKiB), static_cast<long long>(s.pssKiB),
      static_cast<long long>(s.privateKiB));
}

// The memory of a program that only loads the helper's shared libraries, sampled once its
// loader has finished; nothing when it cannot be started.
std::optional<ProcessSample> sampleLibraryFloor(const std::string& floor) {
  const pid_t pid = ::fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    ::execl(floor.c_str(), floor.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::this_thread::sleep_for(milliseconds(500));
  std::optional<ProcessSample> sample = sampleProcess(pid);
  support::stop(pid, SIGKILL, seconds(5));
  return sample;
}

double microseconds(nanoseconds d) { return static_cast<double>(d.count()) / 1e3; }

int run(const Options& options) {
  if (::geteuid() != 0 || (::mkdir("/Users", 0755) != 0 && errno != EEXIST)) {
    std::fprintf(stderr, "footprint: run as root, for a private mount namespace on /Users\n");
    return 2;
  }
  const support::TempDir root("varn-footprint");
  const std::filesystem::path shared = root / "Users" / "Shared";
  const std::filesystem::path container = root / "data" / "group.com.varn.macos";
  std::filesystem::create_directories(shared);
  std::filesystem::permissions(shared, std::filesystem::perms(01777));
  const std::vector<Mode> modes = makeModes(kRealistic);
  support::writeFile(container / "modes.json", encodeModes(modes));
  // Windows from 25:00 to 26:00 after the start of the day: never today, whatever the zone,
  // yet every pass computes each of them in full.
  support::writeFile(container / "schedules.json",
                     encodeFocusSchedules(makeSchedules(kRealistic, modes, 1500, 1560)));

  std::printf("VarnHelper %s\nfiles: %d modes of %d sites, %d schedules, none active\n\n",
              options.helper.c_str(), kRealistic.modes, kRealistic.sitesPerMode,
              kRealistic.schedules);
  const steady_clock::time_point launched = steady_clock::now();
  const HelperProcess helper(options.helper, root.path());
  const bool firstPass = support::eventually(
      [&] {
        return !helper.running() ||
               helper.logCount(kNotActive) >= static_cast<size_t>(kRealistic.schedules);
      },
      seconds(10));
  if (!helper.running()) fail("the helper exited during its start");
  if (!firstPass) fail("no first pass within 10 s");
  std::printf("first pass done after %.0f ms\n",
              duration<double, std::milli>(steady_clock::now() - launched).count());
  printMemory("after the first pass:", sampleOrFail(helper));

  // Idle: nothing but the two timers should wake the helper.
  const ProcessSample before = sampleOrFail(helper);
  const steady_clock::time_point idleStart = steady_clock::now();
  std::int64_t lowest = before.rssKiB, highest = before.rssKiB;
  while (steady_clock::now() - idleStart < seconds(options.idleSeconds)) {
    std::this_thread::sleep_for(seconds(1));
    const ProcessSample now = sampleOrFail(helper);
    lowest = std::min(lowest, now.rssKiB);
    highest = std::max(highest, now.rssKiB);
  }
  const ProcessSample after = sampleOrFail(helper);
  const double minutes = duration<double>(steady_clock::now() - idleStart).count() / 60.0;
  const auto perMinute = [&](std::int64_t delta) { return static_cast<double>(delta) / minutes; };
  std::printf("\nidle for %.1f minutes:\n", minutes);
  printMemory("  at the end:", after);
  std::printf("  VmRSS over the period:      %lld to %lld KiB\n", static_cast<long long>(lowest),
              static_cast<long long>(highest));
  std::printf("  CPU time per minute:        %.2f ms (%.1f clock ticks)\n",
              perMinute(after.cpuNs - before.cpuNs) / 1e6,
              perMinute(after.cpuTicks - before.cpuTicks));
  std::printf(
      "  wakeups per minute:         %.1f (voluntary switches, %d threads); "
      "%.1f preemptions\n",
      perMinute(after.voluntarySwitches - before.voluntarySwitches), after.threads,
      perMinute(after.involuntarySwitches - before.involuntarySwitches));
  std::printf("  timer firings per minute:   %.1f (4 evaluation passes, 1 expiry sweep)\n", 5.0);

  // Removals: an expired session renamed into the watched folder, as the main application or
  // a restore from backup would put it there.
  const std::string expired = encodeBlockingRules(makeRules(
      kRealistic.sitesPerMode, time_point_cast<nanoseconds>(system_clock::now()) - hours(1)));
  std::filesystem::create_directories(root / "staging");
  const size_t clearedBefore = helper.logCount("Cleared expired blocking rules atomically");
  RemovalDelays removals = measureRemovals(shared, kRulesFileName, expired, root / "staging",
                                           options.removals, seconds(2), milliseconds(20));
  std::vector<nanoseconds>& delays = removals.delays;
  std::sort(delays.begin(), delays.end());
  std::printf("\nremoval delay over %d renames:\n", options.removals);
  if (!delays.empty()) {
    const auto at = [&](double q) { return delays[static_cast<size_t>(q * (delays.size() - 1))]; };
    std::printf("  median %.0f us, 90th percentile %.0f us, worst %.0f us, best %.0f us\n",
                microseconds(at(0.5)), microseconds(at(0.9)), microseconds(delays.back()),
                microseconds(delays.front()));
  }
  std::printf("  not removed within 2 s:     %d\n", removals.timeouts);
  std::printf("  removals the helper logged: %zu\n",
              helper.logCount("Cleared expired blocking rules atomically") - clearedBefore);

  const ProcessSample end = sampleOrFail(helper);
  std::printf("\n");
  printMemory("at the end of the run:", end);
  std::printf("%-28s %lld KiB\n", "peak VmRSS (VmHWM):", static_cast<long long>(end.peakRssKiB));
  if (!options.floor.empty()) {
    if (std::optional<ProcessSample> floor = sampleLibraryFloor(options.floor)) {
      printMemory("only its libraries loaded:", *floor);
    } else {
      std::printf("only its libraries loaded:   could not start %s\n", options.floor.c_str());
    }
  }
  std::printf("\nresident KiB by mapping (anonymous part in brackets):\n");
  for (const MappingResidence& m : residenceByMapping(helper.pid)) {
    std::printf("  %6lld [%4lld]  %s\n", static_cast<long long>(m.rssKiB),
                static_cast<long long>(m.anonKiB), m.name.c_str());
  }
  return removals.timeouts == 0 ? 0 : 1;
}

}  // namespace
}  // namespace varn::bench

int main(int argc, char** argv) { return varn::bench::run(varn::bench::parse(argc, argv)); }
