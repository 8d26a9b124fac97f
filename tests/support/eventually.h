#pragma once

#include <chrono>
#include <thread>

namespace varn::support {

// Whether `condition` holds within `deadline`, checking it every `interval` and once more at the
// deadline. For waiting on another thread or process; deadlines are generous, so a false result
// means it never happened. Conditions that run a program deserve a longer interval.
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
