#include "platform/sd_event_run_loop.h"

#include <signal.h>
#include <time.h>

#include <cerrno>

#include "platform/result.h"
#include "platform/service_manager.h"

namespace varn::platform {
namespace {

using std::chrono::microseconds;

microseconds bootTimeNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_BOOTTIME, &ts);
  return std::chrono::duration_cast<microseconds>(std::chrono::seconds(ts.tv_sec) +
                                                  std::chrono::nanoseconds(ts.tv_nsec));
}

class SdEventTimer final : public Timer {
 public:
  SdEventTimer(microseconds interval, std::function<void()> callback)
      : interval_(std::max(interval, microseconds(1))), callback_(std::move(callback)) {}

  Status attach(sd_event* event) {
    due_ = bootTimeNow() + interval_;
    sd_event_source* raw = nullptr;
    const int r = ::sd_event_add_time(event, &raw, CLOCK_BOOTTIME, due_.count(),
                                      microseconds(SdEventRunLoop::kTimerAccuracy).count(),
                                      &SdEventTimer::onTime, this);
    if (r < 0) return Error{std::string("sd_event_add_time: ") + errnoMessage(-r), -r};
    source_.reset(raw);
    ::sd_event_source_set_enabled(raw, SD_EVENT_ON);
    return Status::success();
  }

 private:
  // Nothing may unwind through sd-event's C frames.
  static int onTime(sd_event_source* source, uint64_t, void* userdata) noexcept {
    auto* self = static_cast<SdEventTimer*>(userdata);
    try {
      self->callback_();
    } catch (...) {
    }
    // Measured after the callback, so a slow callback cannot cause a burst of late firings.
    self->due_ = nextDueTime(self->due_, self->interval_, bootTimeNow());
    ::sd_event_source_set_time(source, self->due_.count());
    return 0;
  }

  microseconds interval_;
  microseconds due_{};
  std::function<void()> callback_;
  EventSourcePtr source_;
};

int onTerminationSignal(sd_event_source* source, const signalfd_siginfo*, void*) noexcept {
  notifyServiceManager("STOPPING=1");
  return ::sd_event_exit(::sd_event_source_get_event(source), 0);
}

}  // namespace

Result<std::unique_ptr<SdEventRunLoop>> SdEventRunLoop::create() {
  sd_event* raw = nullptr;
  const int r = ::sd_event_new(&raw);
  if (r < 0) return Error{std::string("sd_event_new: ") + errnoMessage(-r), -r};
  return std::unique_ptr<SdEventRunLoop>(new SdEventRunLoop(EventLoopPtr(raw)));
}

Result<std::unique_ptr<Timer>> SdEventRunLoop::addRepeatingTimer(std::chrono::nanoseconds interval,
                                                                 std::function<void()> callback) {
  auto timer = std::make_unique<SdEventTimer>(std::chrono::duration_cast<microseconds>(interval),
                                              std::move(callback));
  if (Status attached = timer->attach(event_.get()); !attached.ok()) return attached.error();
  return std::unique_ptr<Timer>(std::move(timer));
}

Status SdEventRunLoop::exitOnTerminationSignals() {
  sigset_t signals;
  ::sigemptyset(&signals);
  ::sigaddset(&signals, SIGTERM);
  ::sigaddset(&signals, SIGINT);
  // sd-event reads the signals through a signalfd, which sees only blocked signals.
  if (const int r = ::pthread_sigmask(SIG_BLOCK, &signals, nullptr); r != 0) {
    return Error{std::string("pthread_sigmask: ") + errnoMessage(r), r};
  }
  for (auto [signal, source] : {std::pair{SIGTERM, &terminate_}, std::pair{SIGINT, &interrupt_}}) {
    sd_event_source* raw = nullptr;
    if (const int r =
            ::sd_event_add_signal(event_.get(), &raw, signal, onTerminationSignal, nullptr);
        r < 0) {
      terminate_.reset();
      interrupt_.reset();
      ::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
      return Error{std::string("sd_event_add_signal: ") + errnoMessage(-r), -r};
    }
    source->reset(raw);
  }
  return Status::success();
}

void SdEventRunLoop::feedServiceWatchdog() { (void)::sd_event_set_watchdog(event_.get(), 1); }

int SdEventRunLoop::run() { return ::sd_event_loop(event_.get()); }

void SdEventRunLoop::exit(int code) { ::sd_event_exit(event_.get(), code); }

}  // namespace varn::platform
