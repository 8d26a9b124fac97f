#pragma once

#include <atomic>

#include "platform/clock.h"

namespace varn::platform::testing {

// A wall clock that moves only when the test says so. Safe to read from other threads.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(Instant start) : now_(start) {}
  Instant now() const override { return now_.load(); }
  void set(Instant to) { now_.store(to); }
  void advance(std::chrono::nanoseconds by) { now_.store(now_.load() + by); }

 private:
  std::atomic<Instant> now_;
};

}  // namespace varn::platform::testing
