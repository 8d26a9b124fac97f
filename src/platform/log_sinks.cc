#include "platform/log_sinks.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <mutex>

namespace varn::platform {
namespace {

constexpr const char* kSyslogIdentifier = "VarnHelper";

int journalPriority(LogLevel level) {
  switch (level) {
    case LogLevel::kDebug:
      return 7;
    case LogLevel::kDefault:
      return 5;
    case LogLevel::kError:
      return 3;
  }
  return 5;
}

void appendEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (unsigned char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
}

class StderrSink final : public LogSink {
 public:
  void write(const LogEntry& entry) override {
    std::string line = formatLogLine(entry, std::chrono::system_clock::now());
    // One write per line keeps lines whole even when other processes share the stream.
    std::lock_guard lock(mutex_);
    std::string_view rest = line;
    while (!rest.empty()) {
      ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // Nothing sensible to do when the log itself cannot be written.
      rest.remove_prefix(static_cast<size_t>(n));
    }
  }

 private:
  std::mutex mutex_;
};

class JournalSink final : public LogSink {
 public:
  JournalSink(JournalSend send, std::shared_ptr<LogSink> fallback)
      : send_(std::move(send)), fallback_(std::move(fallback)) {}

  void write(const LogEntry& entry) override {
    std::string fields[] = {
        "MESSAGE=" + entry.redactedMessage(),
        "PRIORITY=" + std::to_string(journalPriority(entry.level)),
        std::string("SYSLOG_IDENTIFIER=") + kSyslogIdentifier,
        "LOG_SUBSYSTEM=" + entry.subsystem,
        "LOG_CATEGORY=" + entry.category,
    };
    iovec vectors[std::size(fields)];
    for (size_t i = 0; i < std::size(fields); ++i) {
      vectors[i].iov_base = fields[i].data();
      vectors[i].iov_len = fields[i].size();
    }
    // The native socket can refuse us (a sandbox that hides it, a journal that is restarting)
    // while stderr, which the service manager also connects to the journal, still works. The
    // entry then goes there as one line, once: the fallback never comes back here.
    if (send_(vectors, static_cast<int>(std::size(fields))) < 0) fallback_->write(entry);
  }

 private:
  JournalSend send_;
  std::shared_ptr<LogSink> fallback_;
};

}  // namespace

std::shared_ptr<LogSink> makeJournalSink(JournalSend send, std::shared_ptr<LogSink> fallback) {
  return std::make_shared<JournalSink>(std::move(send), std::move(fallback));
}

std::string formatLogLine(const LogEntry& entry, std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto millis = floor<milliseconds>(time);
  const auto day = floor<days>(millis);
  const year_month_day ymd(day);
  const hh_mm_ss hms(millis - day);
  char stamp[40];
  // Nanosecond time points stay within years 1677 to 2262, so the stamp always fits.
  (void)std::snprintf(stamp, sizeof stamp, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(ymd.year()),
                      unsigned(ymd.month()), unsigned(ymd.day()), int(hms.hours().count()),
                      int(hms.minutes().count()), int(hms.seconds().count()),
                      int(hms.subseconds().count()));
  std::string line = stamp;
  line += ' ';
  line += levelName(entry.level);
  line += " [";
  appendEscaped(line, entry.subsystem);
  line += '/';
  appendEscaped(line, entry.category);
  line += "] ";
  appendEscaped(line, entry.redactedMessage());
  line += '\n';
  return line;
}

bool stderrIsJournal() {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the helper never sets a variable; reads do not race.
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  std::string_view text(stream);
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  unsigned long long device = 0, inode = 0;
  const auto [p1, e1] = std::from_chars(text.data(), text.data() + colon, device);
  const auto [p2, e2] = std::from_chars(text.data() + colon + 1, text.data() + text.size(), inode);
  if (e1 != std::errc() || e2 != std::errc() || p1 != text.data() + colon ||
      p2 != text.data() + text.size()) {
    return false;
  }
  struct stat st {};
  if (::fstat(STDERR_FILENO, &st) != 0) return false;
  return st.st_dev == device && st.st_ino == inode;
}

std::shared_ptr<LogSink> makeDefaultLogSink() {
  auto lines = std::make_shared<StderrSink>();
  if (!stderrIsJournal()) return lines;
  return makeJournalSink(::sd_journal_sendv, std::move(lines));
}

}  // namespace varn::platform
