#include "shared/blocking_rules.h"

#include <nlohmann/json.hpp>

#include "shared/date_time.h"
#include "shared/json_reader.h"

namespace varn {

using nlohmann::json;

std::optional<BlockingRules::Mode> blockingRulesModeFromRawValue(std::string_view raw) {
  if (raw == "block") return BlockingRules::Mode::block;
  if (raw == "allow") return BlockingRules::Mode::allow;
  return std::nullopt;
}

std::string_view rawValue(BlockingRules::Mode mode) {
  return mode == BlockingRules::Mode::block ? "block" : "allow";
}

Result<BlockingRules> decodeBlockingRules(std::string_view bytes) {
  Result<JsonDocument> document = parseJson(bytes);
  if (!document.ok()) return document.error();
  JsonObjectReader reader(document.value().root(), "");
  BlockingRules rules;
  if (auto id = reader.uuid("sessionId")) rules.sessionId = *id;
  if (auto mode = reader.string("mode")) {
    if (auto parsed = blockingRulesModeFromRawValue(*mode)) {
      rules.mode = *parsed;
    } else {
      reader.fail("mode", "expected \"block\" or \"allow\", found " + describeJsonString(*mode));
    }
  }
  if (auto hosts = reader.stringArray("hosts")) rules.hosts = std::move(*hosts);
  if (auto endsAt = reader.dateTime("endsAt")) rules.endsAt = *endsAt;
  if (auto ids = reader.optionalStringArray("allowedSigningIds")) {
    rules.allowedSigningIds = std::move(*ids);
  }
  if (!reader.ok()) return reader.error();
  return rules;
}

std::string encodeBlockingRules(const BlockingRules& rules) {
  // nlohmann keeps object keys sorted; readers do not depend on key order.
  const json object = {
      {"sessionId", rules.sessionId.toString()},
      {"mode", rawValue(rules.mode)},
      {"hosts", rules.hosts},
      {"endsAt", formatInternetDateTime(rules.endsAt)},
      {"allowedSigningIds", rules.allowedSigningIds},
  };
  // Invalid UTF-8 cannot come from a decoded file, but a record built in code could carry it;
  // replacing it keeps the writer from throwing.
  return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace varn
