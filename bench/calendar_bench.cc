// One call of the user's calendar, which looks its zone up on every call: with TZ naming a zone,
// and with TZ unset (the zone /etc/localtime links to); a calendar fixed on one zone for
// reference. An evaluation pass makes up to two such calls per enabled schedule.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
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

void BM_FixedZoneCalendarWeekday(benchmark::State& state) {
  measureWeekday(state, *platform::calendarForZone("Europe/Berlin"));
}

BENCHMARK(BM_UserCalendarWeekday_TzSet);
BENCHMARK(BM_UserCalendarWeekday_TzUnset);
BENCHMARK(BM_FixedZoneCalendarWeekday);

}  // namespace
}  // namespace varn::bench
