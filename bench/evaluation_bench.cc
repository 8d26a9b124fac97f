// One whole evaluation pass on files in a temporary folder, and the floor it is judged against:
// opening and reading the same three files and nothing else. scripts/bench prints each pass as
// a ratio to the floor of the same size, measured in the same run. A second reference,
// ReadAndLexFloor, also runs the JSON library's validating lexer over the three files without
// building anything: no decoder on top of that library can be cheaper.
//
// Every pass finds an expired session on file, so it reads all three files: the rules, then the
// schedules and the modes. EvaluationPass: no schedule covers now, so every schedule's window
// is computed and none activates (what the helper does on almost every tick).
// EvaluationPassActivating: only the last schedule covers now; the pass builds the rules from a
// mission mode, writes them (with two fsyncs) and calls the launcher, a no-op here. The expired
// session is put back between passes, outside the timing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "bench_files.h"
#include "platform/calendar.h"
#include "schedule/helper_schedule_evaluator.h"
#include "shared/store_locations.h"
#include "support/temp_dir.h"

namespace varn::bench {
namespace {

using namespace std::chrono;
using platform::Instant;

// Monday 2 March 2026, 10:30:00.25 UTC.
const Instant kNow = sys_days(year(2026) / 3 / 2) + hours(10) + minutes(30) + milliseconds(250);

class FixedClock final : public platform::Clock {
 public:
  Instant now() const override { return kNow; }
};

// evaluate() never asks for a timer; only start() does.
class NoTimers final : public platform::RunLoop {
 public:
  Result<std::unique_ptr<platform::Timer>> addRepeatingTimer(nanoseconds,
                                                             std::function<void()>) override {
    std::abort();
  }
};

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "bench: %s\n", what);
  std::exit(2);
}

// The user's calendar, as the helper uses it: the zone of TZ or /etc/localtime, looked up on
// every call.
const platform::Calendar& calendar() { return platform::currentCalendar(); }

// Windows that leave out now, or (for the last schedule, when `activates`) cover it, computed in
// the calendar the pass will use.
std::vector<FocusSchedule> schedulesAround(const FileSizes& sizes, const std::vector<Mode>& modes,
                                           bool activates) {
  const std::optional<Instant> dayStart = calendar().startOfDay(kNow);
  if (!dayStart) die("no start of day");
  const std::int64_t minute = duration_cast<minutes>(kNow - *dayStart).count();
  std::vector<FocusSchedule> schedules = minute >= 61
                                             ? makeSchedules(sizes, modes, minute - 60, minute)
                                             : makeSchedules(sizes, modes, minute + 1, minute + 61);
  if (activates) {
    schedules.back().startMinutes = minute;
    schedules.back().endMinutes = minute + 60;
  }
  return schedules;
}

// open, fstat, read to the end, close.
std::string readPlainly(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) die("cannot open a file of the floor");
  std::string bytes(static_cast<size_t>(st.st_size) + 1, '\0');
  size_t used = 0;
  for (ssize_t n; (n = ::read(fd, bytes.data() + used, bytes.size() - used)) > 0;) {
    used += static_cast<size_t>(n);
    if (used == bytes.size()) die("a file of the floor grew");
  }
  ::close(fd);
  bytes.resize(used);
  return bytes;
}

class PassFiles {
 public:
  PassFiles(const FileSizes& sizes, bool activates)
      : locations_(StoreLocations::at(folder_ / "Shared", folder_ / "container")),
        expiredSession_(encodeBlockingRules(makeRules(sizes.sitesPerMode, kNow - hours(1)))) {
    const std::vector<Mode> modes = makeModes(sizes);
    if (activates && modes[static_cast<std::size_t>(sizes.schedules - 1) % modes.size()].type !=
                         ModeType::mission) {
      die("the activating schedule should name a mission mode");
    }
    support::writeFile(*locations_.containerFile("modes.json"), encodeModes(modes));
    support::writeFile(*locations_.containerFile("schedules.json"),
                       encodeFocusSchedules(schedulesAround(sizes, modes, activates)));
    restoreExpiredSession();
    // The figures mean something only if the pass does what the name says.
    evaluate();
    if (launches_ != (activates ? 1 : 0)) die("the pass did not do what it should");
    restoreExpiredSession();
    launches_ = 0;
  }

  void evaluate() { evaluator_.evaluate(); }

  // The floor: what any pass must at least do, done the cheapest way (a buffer of the file's
  // size, no checks). With `lex`, each file also goes through the JSON library's validating lexer.
  void readTheThreeFiles(bool lex) const {
    for (const std::filesystem::path& path :
         {locations_.sharedRulesFile, *locations_.containerFile("schedules.json"),
          *locations_.containerFile("modes.json")}) {
      const std::string bytes = readPlainly(path);
      simdjson::dom::element root;
      if (lex && parser_.parse(bytes).get(root) != simdjson::SUCCESS) {
        die("a file of the floor is not JSON");
      }
      benchmark::DoNotOptimize(root);
      benchmark::DoNotOptimize(bytes);
    }
  }

  void restoreExpiredSession() { support::writeFile(locations_.sharedRulesFile, expiredSession_); }

 private:
  support::TempDir folder_{"varn-bench"};
  mutable simdjson::dom::parser parser_;  // kept from one round to the next, as the stores do
  StoreLocations locations_;
  std::string expiredSession_;
  FixedClock clock_;
  NoTimers loop_;
  BlockingRuleStore rules_{locations_, clock_};
  ScheduleStore schedules_{locations_};
  ModeStore modes_{locations_};
  int launches_ = 0;
  HelperScheduleEvaluator evaluator_{
      {loop_, rules_, schedules_, modes_, clock_, calendar(), [this] { ++launches_; }}};
};

void BM_ReadOnlyFloor(benchmark::State& state, FileSizes sizes) {
  const PassFiles files(sizes, false);
  for (auto _ : state) files.readTheThreeFiles(false);
}

void BM_ReadAndLexFloor(benchmark::State& state, FileSizes sizes) {
  const PassFiles files(sizes, false);
  for (auto _ : state) files.readTheThreeFiles(true);
}

void BM_EvaluationPass(benchmark::State& state, FileSizes sizes) {
  PassFiles files(sizes, false);
  for (auto _ : state) files.evaluate();
}

void BM_EvaluationPassActivating(benchmark::State& state, FileSizes sizes) {
  PassFiles files(sizes, true);
  for (auto _ : state) {
    files.evaluate();
    state.PauseTiming();
    files.restoreExpiredSession();
    state.ResumeTiming();
  }
}

// How the cost grows: N schedules over N/10 modes of 50 sites. Linear means the fitted O(N) has
// a small RMS; a scan of the modes per schedule would grow as N squared.
void BM_EvaluationPassGrowth(benchmark::State& state) {
  const int schedules = static_cast<int>(state.range(0));
  PassFiles files(FileSizes{"growth", schedules / 10, 50, schedules}, false);
  for (auto _ : state) files.evaluate();
  state.SetComplexityN(schedules);
}

BENCHMARK_CAPTURE(BM_ReadOnlyFloor, realistic, kRealistic)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ReadAndLexFloor, realistic, kRealistic)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_EvaluationPass, realistic, kRealistic)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_EvaluationPassActivating, realistic, kRealistic)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ReadOnlyFloor, large, kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadAndLexFloor, large, kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EvaluationPass, large, kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EvaluationPassActivating, large, kLarge)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_EvaluationPassGrowth)
    ->RangeMultiplier(4)
    ->Range(160, 10240)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace
}  // namespace varn::bench
