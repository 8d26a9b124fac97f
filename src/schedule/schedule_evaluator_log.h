#pragma once

#include "platform/log.h"

namespace varn {

// The process-wide logger of the schedule evaluator and the main app launcher
// (subsystem "com.varn.macos", category "schedule-evaluator"), created on first use.
const platform::Logger& scheduleEvaluatorLogger();

}  // namespace varn
