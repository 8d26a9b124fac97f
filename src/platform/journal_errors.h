#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/result.h"

namespace varn::platform {

struct JournalEntry {
  Instant time;
  std::string message;
};

// The error entries (PRIORITY 0 to 3) that the program `identifier` (SYSLOG_IDENTIFIER) wrote to
// the calling user's own journal since `since` (nothing: since the journal begins), oldest
// first; of more than `limit`, the latest `limit`. Reads only; an error when the journal cannot
// be opened or read.
Result<std::vector<JournalEntry>> journalErrors(std::string_view identifier,
                                                std::optional<Instant> since, std::size_t limit);

}  // namespace varn::platform
