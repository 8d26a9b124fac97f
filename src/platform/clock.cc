#include "platform/clock.h"

#include <time.h>

namespace varn::platform {
namespace {

class SystemClock final : public Clock {
 public:
  Instant now() const override {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return Instant(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
  }
};

}  // namespace

const Clock& systemClock() {
  static const SystemClock clock;
  return clock;
}

}  // namespace varn::platform
