#pragma once

#include <chrono>

namespace varn::platform {

// An absolute point in time on the wall clock, with nanosecond precision.
using Instant = std::chrono::sys_time<std::chrono::nanoseconds>;

// The wall clock (CLOCK_REALTIME). Tests replace it with testing::FakeClock.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual Instant now() const = 0;
};

// The system's real-time clock. Thread-safe; lives for the whole process.
const Clock& systemClock();

}  // namespace varn::platform
