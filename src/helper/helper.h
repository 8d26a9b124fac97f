#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/bundle_info.h"
#include "platform/calendar.h"
#include "platform/clock.h"
#include "platform/run_loop.h"
#include "platform/workspace.h"
#include "schedule/helper_schedule_evaluator.h"
#include "shared/blocking_rule_store.h"
#include "shared/mode_store.h"
#include "shared/schedule_store.h"
#include "shared/store_locations.h"
#include "watcher/blocking_rules_watcher.h"

namespace varn {

inline constexpr std::chrono::seconds kExpirySweepInterval{60};

// The whole life of the helper process: owns the long-lived workers and timers and runs the
// start sequence. Lives on the main thread, for as long as the process; there is no stop.
class Helper {
 public:
  // What the helper reaches the system through; everything must outlive the helper.
  struct Environment {
    platform::RunLoop& runLoop;
    const StoreLocations& locations;
    const platform::Clock& clock;
    const platform::Calendar& calendar;
    platform::Workspace& workspace;
    const platform::BundleInfo& bundle;
  };

  explicit Helper(const Environment& environment);
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  // The start sequence, strictly in order: start the rules watcher (it sweeps once), start the
  // schedule evaluator (it evaluates once, then every 15 seconds), then the 60-second expiry
  // sweep timer, whose first sweep comes one interval later. A watcher that cannot watch logs
  // and the sequence goes on; a timer the run loop refuses fails the start, since the helper
  // would then never evaluate or never sweep again, and only a restart mends that.
  Status start();
  // The state to show as the service's STATUS once started: whether the shared folder is
  // watched (a folder missing at start is not, until a restart) and how often schedules and
  // expired rules are checked.
  std::string status() const;

 private:
  platform::RunLoop& runLoop_;
  BlockingRuleStore rules_;
  ScheduleStore schedules_;
  ModeStore modes_;
  BlockingRulesWatcher watcher_;
  HelperScheduleEvaluator evaluator_;
  std::unique_ptr<platform::Timer> expirySweepTimer_;
};

}  // namespace varn
