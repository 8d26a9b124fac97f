#pragma once

#include <chrono>
#include <thread>

namespace varn::support {

// Whether `condition` holds within `deadline`, checked every `interval` and once more at the
// deadline; deadlines are generous, so false means it never happened.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds deadline = std::chrono::seconds(5),
                std::chrono::milliseconds interval = std::chrono::milliseconds(5)) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= until) return condition();
    std::this_thread::sleep_for(interval);
  }
  return true;
}

}  // namespace varn::support
