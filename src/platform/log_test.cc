#include "platform/log.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/log_sinks.h"
#include "platform/testing/memory_log_sink.h"

namespace varn::platform {
namespace {

using namespace std::chrono;

TEST(LogEntry, FillsPublicArgumentsAndRedactsPrivateOnes) {
  const struct {
    const char* format;
    std::vector<std::string> arguments;
    const char* redacted;
    const char* full;
  } cases[] = {
      {"Failed to load modes: %{public}s",
       {"bad"},
       "Failed to load modes: bad",
       "Failed to load modes: bad"},
      {"Failed to decode blocking rules: %s",
       {"secret"},
       "Failed to decode blocking rules: <private>",
       "Failed to decode blocking rules: secret"},
      {"Schedule '%{public}s' activated blocking until %s",
       {"Work", "2026-03-02 17:30:00 +0000"},
       "Schedule 'Work' activated blocking until <private>",
       "Schedule 'Work' activated blocking until 2026-03-02 17:30:00 +0000"},
      {"100% sure %d", {}, "100% sure %d", "100% sure %d"},
      {"missing %{public}s", {}, "missing ", "missing "},
  };
  for (const auto& c : cases) {
    LogEntry e{"s", "c", LogLevel::kError, c.format, c.arguments};
    EXPECT_EQ(e.redactedMessage(), c.redacted) << c.format;
    EXPECT_EQ(e.message(), c.full) << c.format;
  }
}

TEST(LogLine, HasTheDocumentedShapeAndStaysOnOneLine) {
  const auto time = sys_days(year(2026) / 3 / 2) + hours(17) + minutes(30) + milliseconds(123) +
                    microseconds(999);
  LogEntry e{"com.varn.macos",
             "schedule-evaluator",
             LogLevel::kDefault,
             "Launched main app for scheduled session enforcement",
             {}};
  EXPECT_EQ(formatLogLine(e, time),
            "2026-03-02T17:30:00.123Z default [com.varn.macos/schedule-evaluator] Launched main "
            "app for scheduled session enforcement\n");

  LogEntry hostile{"com.varn.macos",
                   "mode-store",
                   LogLevel::kError,
                   "Failed: %{public}s",
                   {"line1\nline2\r\x1b[31m"}};
  EXPECT_EQ(formatLogLine(hostile, time),
            "2026-03-02T17:30:00.123Z error [com.varn.macos/mode-store] Failed: "
            "line1\\nline2\\x0d\\x1b[31m\n");
}

TEST(Logger, WritesToTheInstalledSinkWithLevelAndChannel) {
  testing::ScopedMemoryLog log;
  const Logger logger("com.varn.macos", "blocking-rule-store");
  logger.debug("Cleared expired blocking rules atomically");
  logger.error("Failed to save blocking rules: %s", {"disk full"});
  const std::vector<LogEntry> entries = log->entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].level, LogLevel::kDebug);
  EXPECT_EQ(entries[1].level, LogLevel::kError);
  EXPECT_EQ(entries[1].category, "blocking-rule-store");
  EXPECT_EQ(entries[1].message(), "Failed to save blocking rules: disk full");
}

TEST(JournalSink, SendsTheFieldsAndFallsBackOnceWhenTheJournalRefuses) {
  const LogEntry entry{"com.varn.macos",
                       "blocking-rule-store",
                       LogLevel::kError,
                       "Failed to save blocking rules: %s",
                       {"disk full"}};
  for (const int sendResult : {0, -ECONNREFUSED}) {
    std::vector<std::string> sent;
    int calls = 0;
    auto fallback = std::make_shared<testing::MemoryLogSink>();
    const auto sink = makeJournalSink(
        [&](const iovec* fields, int count) {
          ++calls;
          for (int i = 0; i < count; ++i) {
            sent.emplace_back(static_cast<const char*>(fields[i].iov_base), fields[i].iov_len);
          }
          return sendResult;
        },
        fallback);
    sink->write(entry);
    EXPECT_EQ(calls, 1) << sendResult;
    EXPECT_EQ(sent, (std::vector<std::string>{"MESSAGE=Failed to save blocking rules: <private>",
                                              "PRIORITY=3", "SYSLOG_IDENTIFIER=VarnHelper",
                                              "LOG_SUBSYSTEM=com.varn.macos",
                                              "LOG_CATEGORY=blocking-rule-store"}));
    EXPECT_EQ(fallback->count(entry.format), sendResult < 0 ? 1u : 0u) << sendResult;
  }
}

// Single-threaded, so changing the environment races with nothing.
// NOLINTBEGIN(concurrency-mt-unsafe)
TEST(StderrIsJournal, OnlyWhenJournalStreamNamesStderr) {
  const char* saved = std::getenv("JOURNAL_STREAM");
  const std::string previous = saved ? saved : "";
  for (const char* value : {"", "1:2", "garbage", "12:"}) {
    ::setenv("JOURNAL_STREAM", value, 1);
    EXPECT_FALSE(stderrIsJournal()) << value;
  }
  if (saved)
    ::setenv("JOURNAL_STREAM", previous.c_str(), 1);
  else
    ::unsetenv("JOURNAL_STREAM");
}
// NOLINTEND(concurrency-mt-unsafe)

}  // namespace
}  // namespace varn::platform
