#include "platform/testing/fake_run_loop.h"

#include <algorithm>
#include <cerrno>

namespace varn::platform::testing {

class FakeRunLoop::FakeTimer final : public Timer {
 public:
  explicit FakeTimer(std::shared_ptr<Entry> entry) : entry_(std::move(entry)) {}
  ~FakeTimer() override { entry_->cancelled = true; }

 private:
  std::shared_ptr<Entry> entry_;
};

Result<std::unique_ptr<Timer>> FakeRunLoop::addRepeatingTimer(std::chrono::nanoseconds interval,
                                                              std::function<void()> callback) {
  if (timersLeft-- <= 0) return Error{"sd_event_add_time: Cannot allocate memory", ENOMEM};
  auto entry = std::make_shared<Entry>(Entry{interval, now_ + interval, std::move(callback)});
  entries_.push_back(entry);
  return std::unique_ptr<Timer>(std::make_unique<FakeTimer>(std::move(entry)));
}

void FakeRunLoop::advance(std::chrono::nanoseconds by) {
  const auto end = now_ + by;
  for (;;) {
    std::erase_if(entries_, [](const auto& e) { return e->cancelled; });
    auto next = std::min_element(entries_.begin(), entries_.end(),
                                 [](const auto& a, const auto& b) { return a->due < b->due; });
    if (next == entries_.end() || (*next)->due > end) break;
    std::shared_ptr<Entry> entry = *next;  // the callback may cancel or add timers
    moveTo(entry->due);
    entry->callback();
    entry->due = nextDueTime(entry->due, entry->interval, now_);
  }
  moveTo(end);
}

void FakeRunLoop::moveTo(std::chrono::nanoseconds time) {
  if (clock_ != nullptr) clock_->advance(time - now_);
  now_ = time;
}

}  // namespace varn::platform::testing
