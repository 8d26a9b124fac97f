#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "platform/result.h"

namespace varn::platform {

// A repeating timer registered on a RunLoop. Destroying it cancels it: the callback is not
// called again after the destructor returns. Must be destroyed on the loop's thread.
class Timer {
 public:
  virtual ~Timer() = default;
};

// The main run loop: runs callbacks one at a time on the thread that calls run().
class RunLoop {
 public:
  virtual ~RunLoop() = default;

  // Calls `callback` on the loop's thread every `interval`, the first time one interval from
  // now. A firing that falls due while the loop is busy is delivered once, late; the timer then
  // keeps its own schedule (the next multiple of `interval` after the first due time). Missed
  // firings are not made up. Fails only when the loop cannot take another timer (out of
  // memory); the callback is then never called.
  virtual Result<std::unique_ptr<Timer>> addRepeatingTimer(std::chrono::nanoseconds interval,
                                                           std::function<void()> callback) = 0;
};

// The next due time of a repeating timer that was due at `due` and ran until `now`: the first
// of due + k * interval (k >= 1) that lies after `now`. `interval` must be positive.
template <typename TimePoint, typename Duration>
TimePoint nextDueTime(TimePoint due, Duration interval, TimePoint now) {
  TimePoint next = due + interval;
  if (next > now) return next;
  const auto missed = (now - next) / interval;  // whole intervals that passed unserved
  return next + (missed + 1) * interval;
}

}  // namespace varn::platform
