#include "platform/testing/memory_log_sink.h"

namespace varn::platform::testing {

void MemoryLogSink::write(const LogEntry& entry) {
  std::lock_guard lock(mutex_);
  entries_.push_back(entry);
}

std::vector<LogEntry> MemoryLogSink::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

std::vector<LogEntry> MemoryLogSink::withFormat(std::string_view format) const {
  std::vector<LogEntry> found;
  for (const LogEntry& e : entries()) {
    if (e.format == format) found.push_back(e);
  }
  return found;
}

std::vector<std::string> MemoryLogSink::lines() const {
  std::vector<std::string> out;
  for (const LogEntry& e : entries()) {
    out.push_back(std::string(levelName(e.level)) + ": " + e.redactedMessage());
  }
  return out;
}

void MemoryLogSink::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

}  // namespace varn::platform::testing
