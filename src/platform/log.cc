#include "platform/log.h"

#include <mutex>
#include <utility>

#include "platform/log_sinks.h"

namespace varn::platform {
namespace {

constexpr std::string_view kPublicPlaceholder = "%{public}s";
constexpr std::string_view kPrivatePlaceholder = "%s";
constexpr std::string_view kRedacted = "<private>";

std::string render(const LogEntry& entry, bool revealPrivate) {
  std::string out;
  std::string_view rest = entry.format;
  size_t next = 0;
  auto argument = [&]() -> std::string_view {
    return next < entry.arguments.size() ? std::string_view(entry.arguments[next++]) : "";
  };
  while (!rest.empty()) {
    if (rest.starts_with(kPublicPlaceholder)) {
      out += argument();
      rest.remove_prefix(kPublicPlaceholder.size());
    } else if (rest.starts_with(kPrivatePlaceholder)) {
      std::string_view value = argument();
      out += revealPrivate ? value : kRedacted;
      rest.remove_prefix(kPrivatePlaceholder.size());
    } else {
      out += rest.front();
      rest.remove_prefix(1);
    }
  }
  return out;
}

struct SinkSlot {
  std::mutex mutex;
  std::shared_ptr<LogSink> sink;
};

SinkSlot& slot() {
  static SinkSlot instance;
  return instance;
}

std::shared_ptr<LogSink> currentSink() {
  SinkSlot& s = slot();
  std::lock_guard lock(s.mutex);
  if (!s.sink) s.sink = makeDefaultLogSink();
  return s.sink;
}

}  // namespace

std::string_view levelName(LogLevel level) {
  switch (level) {
    case LogLevel::kDebug:
      return "debug";
    case LogLevel::kDefault:
      return "default";
    case LogLevel::kError:
      return "error";
  }
  return "default";
}

std::string LogEntry::message() const { return render(*this, true); }

std::string LogEntry::redactedMessage() const { return render(*this, false); }

std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink) {
  SinkSlot& s = slot();
  std::lock_guard lock(s.mutex);
  return std::exchange(s.sink, std::move(sink));
}

void Logger::write(LogLevel level, std::string_view format,
                   std::initializer_list<std::string_view> arguments) const {
  LogEntry entry{subsystem_, category_, level, std::string(format), {}};
  entry.arguments.reserve(arguments.size());
  for (std::string_view a : arguments) entry.arguments.emplace_back(a);
  currentSink()->write(entry);
}

}  // namespace varn::platform
