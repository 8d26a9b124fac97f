#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace varn::platform {

// The three levels the helper uses; kDefault is written as the word "default".
enum class LogLevel { kDebug, kDefault, kError };

std::string_view levelName(LogLevel level);

// One log entry as the program produced it, before any redaction.
// `format` is the message as written in the code, with "%{public}s" for public arguments and
// "%s" for private ones; `arguments` fill the placeholders in order.
struct LogEntry {
  std::string subsystem;
  std::string category;
  LogLevel level = LogLevel::kDefault;
  std::string format;
  std::vector<std::string> arguments;

  // The message with every argument filled in (for tests and in-memory sinks).
  std::string message() const;
  // The message as the system log shows it: private arguments replaced by "<private>".
  std::string redactedMessage() const;
};

// Where log entries go. write() may be called from any thread at once.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void write(const LogEntry& entry) = 0;
};

// Replaces the process-wide sink; nullptr restores the default (journald when stderr is the
// journal, otherwise one line per entry on stderr). Returns the sink that was installed before.
std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink);

// A named channel of the system log (subsystem and category). Cheap to keep, safe to share
// between threads; every call writes one entry to the current sink.
class Logger {
 public:
  Logger(std::string subsystem, std::string category)
      : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

  void debug(std::string_view format,
             std::initializer_list<std::string_view> arguments = {}) const {
    write(LogLevel::kDebug, format, arguments);
  }
  void notice(std::string_view format,
              std::initializer_list<std::string_view> arguments = {}) const {
    write(LogLevel::kDefault, format, arguments);
  }
  void error(std::string_view format,
             std::initializer_list<std::string_view> arguments = {}) const {
    write(LogLevel::kError, format, arguments);
  }
  void write(LogLevel level, std::string_view format,
             std::initializer_list<std::string_view> arguments) const;

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

 private:
  std::string subsystem_;
  std::string category_;
};

}  // namespace varn::platform
