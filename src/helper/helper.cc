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

void Helper::start() {
  watcher_.start();
  evaluator_.start();
  expirySweepTimer_ =
      runLoop_.addRepeatingTimer(kExpirySweepInterval, [this] { rules_.clearIfExpired(); });
}

}  // namespace varn
