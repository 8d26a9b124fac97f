#pragma once

#include <chrono>
#include <memory>

#include "platform/clock.h"
#include "platform/run_loop.h"
#include "shared/blocking_rule_store.h"
#include "shared/store_locations.h"

namespace varn {

inline constexpr std::chrono::seconds kExpirySweepInterval{60};

// The whole life of the helper process: owns the long-lived workers and timers and runs the
// start sequence. Lives on the main thread, for as long as the process; there is no stop.
class Helper {
 public:
  // All three must outlive the helper; `runLoop` delivers its timers.
  Helper(platform::RunLoop& runLoop, const StoreLocations& locations, const platform::Clock& clock);
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  // The start sequence, strictly in order. Failures of each step are logged by the step's owner
  // and never stop the sequence: then the 60-second expiry sweep timer, whose first sweep comes
  // one interval after this call (no sweep is made here).
  void start();

 private:
  platform::RunLoop& runLoop_;
  BlockingRuleStore store_;
  std::unique_ptr<platform::Timer> expirySweepTimer_;
};

}  // namespace varn
