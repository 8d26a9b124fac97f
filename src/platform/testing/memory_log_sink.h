#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log.h"

namespace varn::platform::testing {

// Collects every entry in memory, arguments included. Thread-safe.
class MemoryLogSink final : public LogSink {
 public:
  void write(const LogEntry& entry) override;

  std::vector<LogEntry> entries() const;
  std::vector<LogEntry> withFormat(std::string_view format) const;
  size_t count(std::string_view format) const { return withFormat(format).size(); }
  // The messages in order as the system log shows them, "level: message" each, private arguments
  // as "<private>": an assertion on a line also checks which arguments are public.
  std::vector<std::string> lines() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<LogEntry> entries_;
};

class ScopedMemoryLog {
 public:
  ScopedMemoryLog() : sink_(std::make_shared<MemoryLogSink>()), previous_(setLogSink(sink_)) {}
  ~ScopedMemoryLog() { setLogSink(previous_); }
  ScopedMemoryLog(const ScopedMemoryLog&) = delete;
  ScopedMemoryLog& operator=(const ScopedMemoryLog&) = delete;

  MemoryLogSink& operator*() const { return *sink_; }
  MemoryLogSink* operator->() const { return sink_.get(); }

 private:
  std::shared_ptr<MemoryLogSink> sink_;
  std::shared_ptr<LogSink> previous_;
};

}  // namespace varn::platform::testing
