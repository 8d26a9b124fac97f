#pragma once

#include <sys/uio.h>

#include <chrono>
#include <cstdio>
#include <functional>
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

// Sends one entry's fields to the journal's native socket; a negative errno when it cannot.
using JournalSend = std::function<int(const iovec* fields, int count)>;

// Writes each entry to the journal natively through `send` (sd_journal_sendv), with PRIORITY,
// SYSLOG_IDENTIFIER, LOG_SUBSYSTEM and LOG_CATEGORY; an entry that `send` refuses goes to
// `fallback` instead.
std::shared_ptr<LogSink> makeJournalSink(JournalSend send, std::shared_ptr<LogSink> fallback);

// The sink used when none has been set: journald natively, or lines on stderr.
std::shared_ptr<LogSink> makeDefaultLogSink();

}  // namespace varn::platform
