// One call of the user's calendar, which looks its zone up on every call: with TZ naming a zone,
// with TZ unset (the zone /etc/localtime links to), and with TZ unset and etc/localtime a copy of
// a zone file (a planted folder); a calendar fixed on one zone for reference. An evaluation pass
// makes up to two such calls per enabled schedule.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/calendar.h"

namespace varn::bench {
namespace {

using namespace std::chrono;

const platform::Instant kNow = sys_days(year(2026) / 3 / 2) + hours(10) + minutes(30);

// Sets TZ for the benchmark and puts the previous value back afterwards.
class TzFor {
 public:
  explicit TzFor(const char* value) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    if (value) {
      ::setenv("TZ", value, 1);
    } else {
      ::unsetenv("TZ");
    }
  }
  ~TzFor() {
    if (previous_) {
      ::setenv("TZ", previous_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
  }

 private:
  std::optional<std::string> previous_;
};

void measureWeekday(benchmark::State& state, const platform::Calendar& calendar) {
  for (auto _ : state) benchmark::DoNotOptimize(calendar.weekday(kNow));
}

void BM_UserCalendarWeekday_TzSet(benchmark::State& state) {
  const TzFor tz("Europe/Berlin");
  measureWeekday(state, platform::currentCalendar());
}

void BM_UserCalendarWeekday_TzUnset(benchmark::State& state) {
  const TzFor tz(nullptr);
  measureWeekday(state, platform::currentCalendar());
}

// A folder holding etc/localtime as a copy of Europe/Berlin's zone file, removed at the end.
class CopiedLocaltime {
 public:
  CopiedLocaltime() {
    std::string pattern = (std::filesystem::temp_directory_path() / "varn-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
    std::filesystem::create_directories(root_ / "etc");
    std::filesystem::copy_file("/usr/share/zoneinfo/Europe/Berlin", root_ / "etc/localtime");
  }
  ~CopiedLocaltime() { std::filesystem::remove_all(root_); }
  const std::filesystem::path& root() const { return root_; }

 private:
  std::filesystem::path root_;
};

void BM_UserCalendarWeekday_LocaltimeCopy(benchmark::State& state) {
  const TzFor tz(nullptr);
  const CopiedLocaltime copy;
  const std::unique_ptr<platform::Calendar> calendar = platform::userCalendar(copy.root());
  calendar->weekday(kNow);  // the one comparison with the zone files, outside the measurement
  measureWeekday(state, *calendar);
}

void BM_FixedZoneCalendarWeekday(benchmark::State& state) {
  measureWeekday(state, *platform::calendarForZone("Europe/Berlin"));
}

BENCHMARK(BM_UserCalendarWeekday_TzSet);
BENCHMARK(BM_UserCalendarWeekday_TzUnset);
BENCHMARK(BM_UserCalendarWeekday_LocaltimeCopy);
BENCHMARK(BM_FixedZoneCalendarWeekday);

}  // namespace
}  // namespace varn::bench
