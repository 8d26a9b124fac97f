#include "platform/journal_errors.h"

#include <systemd/sd-journal.h>

#include <deque>
#include <memory>

#include "platform/sd_event_run_loop.h"

namespace varn::platform {
namespace {

using JournalPtr = std::unique_ptr<sd_journal, Releaser<sd_journal_close>>;

Error journalFailure(std::string_view what, int r) {
  return Error{std::string(what) + ": " + errnoMessage(-r), -r};
}

// The entry's MESSAGE, or nothing when it has none.
std::optional<std::string> messageOf(sd_journal* journal) {
  const void* data = nullptr;
  size_t length = 0;
  if (sd_journal_get_data(journal, "MESSAGE", &data, &length) < 0) return std::nullopt;
  constexpr std::string_view kPrefix = "MESSAGE=";
  const std::string_view field(static_cast<const char*>(data), length);
  if (!field.starts_with(kPrefix)) return std::nullopt;
  return std::string(field.substr(kPrefix.size()));
}

}  // namespace

Result<std::vector<JournalEntry>> journalErrors(std::string_view identifier,
                                                std::optional<Instant> since, std::size_t limit) {
  sd_journal* raw = nullptr;
  int r = sd_journal_open(&raw, SD_JOURNAL_CURRENT_USER | SD_JOURNAL_LOCAL_ONLY);
  JournalPtr journal(raw);
  if (r < 0) return journalFailure("open the journal", r);
  // Matches on one field are alternatives; on different fields all must hold.
  const std::string match = "SYSLOG_IDENTIFIER=" + std::string(identifier);
  r = sd_journal_add_match(raw, match.data(), match.size());
  for (const char* priority : {"PRIORITY=0", "PRIORITY=1", "PRIORITY=2", "PRIORITY=3"}) {
    if (r >= 0) r = sd_journal_add_match(raw, priority, 0);
  }
  if (r < 0) return journalFailure("match the journal", r);
  const auto sinceUsec =
      since
          ? std::chrono::duration_cast<std::chrono::microseconds>(since->time_since_epoch()).count()
          : 0;
  r = since ? sd_journal_seek_realtime_usec(raw, static_cast<uint64_t>(sinceUsec))
            : sd_journal_seek_head(raw);
  if (r < 0) return journalFailure("seek in the journal", r);
  std::deque<JournalEntry> entries;
  while ((r = sd_journal_next(raw)) > 0) {
    uint64_t usec = 0;
    if (sd_journal_get_realtime_usec(raw, &usec) < 0 || static_cast<int64_t>(usec) < sinceUsec) {
      continue;
    }
    std::optional<std::string> message = messageOf(raw);
    if (!message) continue;
    entries.push_back({Instant(std::chrono::microseconds(usec)), std::move(*message)});
    if (entries.size() > limit) entries.pop_front();
  }
  if (r < 0) return journalFailure("read the journal", r);
  return std::vector<JournalEntry>(entries.begin(), entries.end());
}

}  // namespace varn::platform
