#pragma once

#include <systemd/sd-event.h>

#include <memory>

#include "platform/result.h"
#include "platform/run_loop.h"

namespace varn::platform {

template <auto release>
struct Releaser {
  template <typename T>
  void operator()(T* handle) const noexcept {
    release(handle);
  }
};
using EventLoopPtr = std::unique_ptr<sd_event, Releaser<sd_event_unref>>;
using EventSourcePtr = std::unique_ptr<sd_event_source, Releaser<sd_event_source_disable_unref>>;

// The main run loop on sd-event. Timers use CLOCK_BOOTTIME, so a tick that fell due during
// suspend fires promptly on resume. Use from one thread only, the one that calls run().
class SdEventRunLoop final : public RunLoop {
 public:
  // Slack the loop may add to a timer's due time to batch wakeups.
  static constexpr std::chrono::milliseconds kTimerAccuracy{10};

  // The loop, or the error that prevented creating it.
  static Result<std::unique_ptr<SdEventRunLoop>> create();

  std::unique_ptr<Timer> addRepeatingTimer(std::chrono::nanoseconds interval,
                                           std::function<void()> callback) override;

  // Runs until exit() is called; returns the code given to exit(), or a negative errno.
  int run();
  void exit(int code);

  // The underlying loop, for attaching other sd-* objects (the session bus).
  sd_event* event() const { return event_.get(); }

 private:
  explicit SdEventRunLoop(EventLoopPtr event) : event_(std::move(event)) {}
  EventLoopPtr event_;
};

}  // namespace varn::platform
