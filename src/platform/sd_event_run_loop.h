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

  Result<std::unique_ptr<Timer>> addRepeatingTimer(std::chrono::nanoseconds interval,
                                                   std::function<void()> callback) override;

  // Makes SIGTERM and SIGINT end run() with 0, once the callback that is running has returned
  // (so a save in progress completes), after telling the service manager "STOPPING=1". The
  // signals are blocked on the calling thread, and so in every thread started from it later:
  // call this before any other thread exists, or a signal may reach a thread that does not
  // block it and end the process. On failure the signals are unblocked again, so that they
  // still end the process (without STOPPING=1) rather than wait for the manager's SIGKILL.
  Status exitOnTerminationSignals();

  // When the service manager asked for a watchdog (WATCHDOG_USEC), the loop pings it while it
  // turns; a loop stuck in one callback for longer than the manager's period gets the helper
  // restarted. Does nothing otherwise.
  void feedServiceWatchdog();

  // Runs until exit() is called; returns the code given to exit(), or a negative errno.
  int run();
  void exit(int code);

  // The underlying loop, for attaching other sd-* objects (the session bus).
  sd_event* event() const { return event_.get(); }

 private:
  explicit SdEventRunLoop(EventLoopPtr event) : event_(std::move(event)) {}
  EventLoopPtr event_;
  EventSourcePtr terminate_;
  EventSourcePtr interrupt_;
};

}  // namespace varn::platform
