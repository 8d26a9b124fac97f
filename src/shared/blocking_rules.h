#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/result.h"
#include "platform/uuid.h"

namespace varn {

// One blocking session: what the main application enforces until `endsAt`. The content of a
// rules file. The helper creates, reads and deletes it but never interprets mode, hosts or
// allowedSigningIds.
struct BlockingRules {
  // How the enforcing application treats `hosts`.
  enum class Mode { block, allow };

  platform::Uuid sessionId;
  Mode mode = Mode::block;
  std::vector<std::string> hosts;
  platform::Instant endsAt;
  std::vector<std::string> allowedSigningIds;

  // Active while `now` <= endsAt, at full precision: a record is still active at its endsAt.
  bool isActive(platform::Instant now) const { return now <= endsAt; }
};

// "block" or "allow"; exact and case-sensitive, nothing for any other text.
std::optional<BlockingRules::Mode> blockingRulesModeFromRawValue(std::string_view raw);
std::string_view rawValue(BlockingRules::Mode mode);

// Reads a rules file: exactly one JSON object with "sessionId", "mode", "hosts", "endsAt" and
// optionally "allowedSigningIds" (absent or null: empty). Unknown keys are ignored. The error
// names the key, what was expected and what was found.
Result<BlockingRules> decodeBlockingRules(std::string_view bytes);

// Writes a rules file: compact JSON with all five keys, no line break (not even at the end),
// the sessionId in upper case, endsAt in UTC with whole seconds and Z. Cannot fail.
std::string encodeBlockingRules(const BlockingRules& rules);

}  // namespace varn

template <>
struct std::hash<varn::BlockingRules::Mode> {
  size_t operator()(varn::BlockingRules::Mode mode) const noexcept {
    return std::hash<std::string_view>()(varn::rawValue(mode));
  }
};
