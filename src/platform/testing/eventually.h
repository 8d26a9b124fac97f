#pragma once

#include <chrono>
#include <thread>

namespace varn::platform::testing {

// Whether `condition` holds within `deadline`, checking it every few milliseconds. For waiting on
// work of another thread; the deadline is generous, so a false result means it never happened.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace varn::platform::testing
