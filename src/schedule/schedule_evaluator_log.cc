#include "schedule/schedule_evaluator_log.h"

namespace varn {

const platform::Logger& scheduleEvaluatorLogger() {
  static const platform::Logger logger("com.varn.macos", "schedule-evaluator");
  return logger;
}

}  // namespace varn
