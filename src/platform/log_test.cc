#include "platform/log.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/log_sinks.h"
#include "platform/testing/memory_log_sink.h"

namespace varn::platform {
namespace {

using namespace std::chrono;

TEST(LogEntry, FillsPublicArgumentsAndRedactsPrivateOnes) {
  // The format, its arguments, the message redacted and in full.
  for (const auto& [format, arguments, redacted, full] :
       {std::tuple{"Failed: %{public}s", std::vector<std::string>{"bad"}, "Failed: bad",
                   "Failed: bad"},
        {"'%{public}s' until %s",
         {"Work", "17:30"},
         "'Work' until <private>",
         "'Work' until 17:30"},
        {"100% sure %d", {}, "100% sure %d", "100% sure %d"},
        {"missing %{public}s%s", {}, "missing <private>", "missing "}}) {
    LogEntry e{"s", "c", LogLevel::kError, format, arguments};
    EXPECT_EQ(e.redactedMessage(), redacted) << format;
    EXPECT_EQ(e.message(), full) << format;
  }
}

TEST(LogLine, HasTheDocumentedShapeAndStaysOnOneLine) {
  const auto time = sys_days(year(2026) / 3 / 2) + 17h + 30min + 123ms + 999us;
  LogEntry e{"com.varn.macos",
             "mode-store",
             LogLevel::kDefault,
             "Failed: %{public}s",
             {"a b\nc\r\x1b[31m\x7f"}};
  EXPECT_EQ(formatLogLine(e, time),
            "2026-03-02T17:30:00.123Z default [com.varn.macos/mode-store] Failed: "
            "a b\\nc\\x0d\\x1b[31m\\x7f\n");
  EXPECT_EQ(formatLogLine({"s", "c", LogLevel::kDebug, "x", {}}, time),
            "2026-03-02T17:30:00.123Z debug [s/c] x\n");
}

TEST(JournalSink, SendsTheFieldsAndFallsBackWhenTheJournalRefuses) {
  const LogEntry entry{"com.varn.macos", "rule-store", LogLevel::kError, "Failed: %s", {"full"}};
  for (const int sendResult : {0, -ECONNREFUSED}) {
    std::vector<std::string> sent;
    auto fallback = std::make_shared<testing::MemoryLogSink>();
    const auto sink = makeJournalSink(
        [&](const iovec* fields, int count) {
          for (int i = 0; i < count; ++i) {
            sent.emplace_back(static_cast<const char*>(fields[i].iov_base), fields[i].iov_len);
          }
          return sendResult;
        },
        fallback);
    sink->write(entry);
    EXPECT_EQ(sent, (std::vector<std::string>{
                        "MESSAGE=Failed: <private>", "PRIORITY=3", "SYSLOG_IDENTIFIER=VarnHelper",
                        "LOG_SUBSYSTEM=com.varn.macos", "LOG_CATEGORY=rule-store"}));
    EXPECT_EQ(fallback->count(entry.format), sendResult < 0 ? 1u : 0u) << sendResult;
  }
}

}  // namespace
}  // namespace varn::platform
