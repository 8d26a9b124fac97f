#include "helper/helper.h"

#include "schedule/main_app_launcher.h"

namespace varn {

Helper::Helper(const Environment& environment)
    : runLoop_(environment.runLoop),
      rules_(environment.locations, environment.clock),
      schedules_(environment.locations),
      modes_(environment.locations),
      watcher_(rules_),
      evaluator_({environment.runLoop, rules_, schedules_, modes_, environment.clock,
                  environment.calendar,
                  [&workspace = environment.workspace, &bundle = environment.bundle] {
                    launchMainApp(workspace, bundle);
                  }}) {}

Status Helper::start() {
  watcher_.start();
  if (Status started = evaluator_.start(); !started.ok()) return started;
  Result<std::unique_ptr<platform::Timer>> sweep =
      runLoop_.addRepeatingTimer(kExpirySweepInterval, [this] { rules_.clearIfExpired(); });
  if (!sweep.ok()) return sweep.error();
  expirySweepTimer_ = std::move(sweep).value();
  return Status::success();
}

std::string Helper::status() const {
  const std::string folder = rules_.sharedRulesFileURL().parent_path().native();
  return (watcher_.isWatching() ? "Watching " + folder
                                : "Not watching " + folder + " (see the log)") +
         "; schedules checked every " + std::to_string(kScheduleEvaluationInterval.count()) +
         " s, expired rules swept every " + std::to_string(kExpirySweepInterval.count()) + " s";
}

}  // namespace varn
