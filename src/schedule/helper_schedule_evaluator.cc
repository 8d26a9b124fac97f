#include "schedule/helper_schedule_evaluator.h"

#include "schedule/mode_rule_builder.h"
#include "schedule/schedule_choice.h"
#include "schedule/schedule_evaluator_log.h"
#include "shared/date_time.h"

namespace varn {

HelperScheduleEvaluator::HelperScheduleEvaluator(Dependencies dependencies)
    : deps_(std::move(dependencies)) {}

Status HelperScheduleEvaluator::start() {
  if (timer_) return Status::success();
  evaluate();
  Result<std::unique_ptr<platform::Timer>> timer = deps_.runLoop.addRepeatingTimer(
      kScheduleEvaluationInterval, [weak = std::weak_ptr<HelperScheduleEvaluator*>(self_)] {
        if (auto self = weak.lock()) (*self)->evaluate();
      });
  if (!timer.ok()) return timer.error();
  timer_ = std::move(timer).value();
  return Status::success();
}

void HelperScheduleEvaluator::evaluate() {
  const platform::Logger& log = scheduleEvaluatorLogger();
  if (std::optional<BlockingRules> current = deps_.rules.load();
      current && current->isActive(deps_.clock.now())) {
    log.debug("Blocking already active, skipping evaluation");
    return;
  }
  const platform::Instant now = deps_.clock.now();
  // The zone, like now, is taken once for the whole pass: every schedule is judged on the same
  // calendar day, and a change of zone takes effect at the next pass.
  const std::unique_ptr<platform::Calendar> calendar = deps_.calendar.snapshot();

  std::vector<FocusSchedule> enabled = deps_.schedules.loadSchedules();
  std::erase_if(enabled, [](const FocusSchedule& s) { return !s.isEnabled; });
  if (enabled.empty()) return;

  const std::optional<std::vector<Mode>> modes = deps_.modes.loadModes();
  if (!modes) {
    log.error("Failed to load modes from store");
    return;
  }
  const ScheduleChoice choice = chooseSchedule(enabled, *modes, now, *calendar);
  for (const FocusSchedule& schedule : enabled) {
    if (&schedule == choice.schedule) {
      activate(schedule, choice.window.end, *choice.mode);
      return;
    }
    log.debug("Schedule '%{public}s' not active for current time", {schedule.name});
  }
}

void HelperScheduleEvaluator::activate(const FocusSchedule& schedule, platform::Instant end,
                                       const Mode& mode) {
  const platform::Logger& log = scheduleEvaluatorLogger();
  std::vector<std::string> hosts = ModeRuleBuilder::hostsForMode(mode);
  std::vector<std::string> allowed = ModeRuleBuilder::allowedSigningIdsForMode(mode);
  const BlockingRules rules{
      platform::Uuid::random(),
      mode.type == ModeType::block ? BlockingRules::Mode::block : BlockingRules::Mode::allow,
      std::move(hosts), end, std::move(allowed)};
  if (Status saved = deps_.rules.save(rules); !saved.ok()) {
    log.error("Failed to write blocking rules: %{public}s", {saved.error().message});
    return;
  }
  log.notice("Schedule '%{public}s' activated blocking until %s",
             {schedule.name, describeDate(end)});
  deps_.launchMainApp();
}

}  // namespace varn
