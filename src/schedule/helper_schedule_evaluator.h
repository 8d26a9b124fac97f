#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "platform/calendar.h"
#include "platform/clock.h"
#include "platform/run_loop.h"
#include "shared/blocking_rule_store.h"
#include "shared/focus_schedule.h"
#include "shared/mode.h"
#include "shared/mode_store.h"
#include "shared/schedule_store.h"

namespace varn {

inline constexpr std::chrono::seconds kScheduleEvaluationInterval{15};

// Turns the user's focus schedules into blocking sessions. Each pass reads the rules, schedules
// and modes afresh; when no session is active it writes one for the first enabled schedule whose
// window covers now and whose mode exists, then has the main application launched to enforce
// it. Remembers nothing between passes; every outcome goes to the log (subsystem
// "com.varn.macos", category "schedule-evaluator"). Use from the main loop's thread only.
class HelperScheduleEvaluator {
 public:
  // Called after a session has been written; reports its own outcome.
  using LaunchMainApp = std::function<void()>;

  struct Dependencies {
    platform::RunLoop& runLoop;
    const BlockingRuleStore& rules;
    const ScheduleStore& schedules;
    const ModeStore& modes;
    const platform::Clock& clock;
    const platform::Calendar& calendar;
    LaunchMainApp launchMainApp;
  };

  // Everything in `dependencies` must outlive the evaluator.
  explicit HelperScheduleEvaluator(Dependencies dependencies);
  HelperScheduleEvaluator(const HelperScheduleEvaluator&) = delete;
  HelperScheduleEvaluator& operator=(const HelperScheduleEvaluator&) = delete;

  // Runs one pass at once, then one every 15 seconds on the run loop. A second call does nothing.
  // Fails when the run loop refuses the timer: no pass would ever come again.
  Status start();
  // One evaluation pass.
  void evaluate();

 private:
  void activate(const FocusSchedule& schedule, platform::Instant end, const Mode& mode);

  Dependencies deps_;
  std::unique_ptr<platform::Timer> timer_;
  // The timer reaches the evaluator only through this, so a firing after destruction does nothing.
  std::shared_ptr<HelperScheduleEvaluator*> self_ =
      std::make_shared<HelperScheduleEvaluator*>(this);
};

}  // namespace varn
