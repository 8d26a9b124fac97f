#pragma once

#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "platform/run_loop.h"
#include "platform/testing/fake_clock.h"

namespace varn::platform::testing {

// A run loop whose time the test drives. advance() fires the due timers in due order, with the
// same late-firing rule as the real loop. When given a FakeClock, moves it in step.
class FakeRunLoop final : public RunLoop {
 public:
  explicit FakeRunLoop(FakeClock* clock = nullptr) : clock_(clock) {}

  // Refuses every timer once `timersLeft` were added, as a loop out of memory would.
  Result<std::unique_ptr<Timer>> addRepeatingTimer(std::chrono::nanoseconds interval,
                                                   std::function<void()> callback) override;
  int timersLeft = std::numeric_limits<int>::max();

  void advance(std::chrono::nanoseconds by);

 private:
  struct Entry {
    std::chrono::nanoseconds interval;
    std::chrono::nanoseconds due;
    std::function<void()> callback;
    bool cancelled = false;
  };
  class FakeTimer;

  void moveTo(std::chrono::nanoseconds time);

  FakeClock* clock_;
  std::chrono::nanoseconds now_{0};
  std::vector<std::shared_ptr<Entry>> entries_;
};

}  // namespace varn::platform::testing
