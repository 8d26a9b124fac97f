#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/log.h"

namespace varn::platform {

// Formats one entry as a single stderr line:
// "2026-03-02T17:30:00.123Z default [com.varn.macos/schedule-evaluator] message\n".
// Control characters in the message are escaped so that an entry never spans two lines.
std::string formatLogLine(const LogEntry& entry, std::chrono::system_clock::time_point time);

// True when stderr is connected to the journal (JOURNAL_STREAM names its device and inode).
bool stderrIsJournal();

// The sink used when none has been set: journald natively, or lines on stderr.
std::shared_ptr<LogSink> makeDefaultLogSink();

}  // namespace varn::platform
