// Any bytes go to the rules-file decoder. Whatever decodes must re-encode to one line that
// decodes to the same record, endsAt cut to whole seconds (the written form holds no fraction),
// and writing that record again must give the same bytes.
#include <chrono>
#include <cstdint>

#include "fuzz/fuzz_check.h"
#include "shared/blocking_rules.h"

namespace varn {
namespace {

void checkSameRecord(const BlockingRules& decoded, const BlockingRules& again,
                     const std::string& encoded) {
  fuzz::check(again.sessionId == decoded.sessionId, "sessionId survives writing", encoded);
  fuzz::check(again.mode == decoded.mode, "mode survives writing", encoded);
  fuzz::check(again.hosts == decoded.hosts, "hosts survive writing", encoded);
  fuzz::check(again.endsAt == std::chrono::floor<std::chrono::seconds>(decoded.endsAt),
              "endsAt survives writing, cut to whole seconds", encoded);
  fuzz::check(again.allowedSigningIds == decoded.allowedSigningIds,
              "allowedSigningIds survive writing", encoded);
}

}  // namespace
}  // namespace varn

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  using namespace varn;
  Result<BlockingRules> decoded = decodeBlockingRules(fuzz::asText(data, size));
  if (!decoded.ok()) return 0;
  const std::string encoded = encodeBlockingRules(decoded.value());
  fuzz::check(encoded.find('\n') == std::string::npos, "a rules file is one line", encoded);
  Result<BlockingRules> again = decodeBlockingRules(encoded);
  fuzz::check(again.ok(), "a written record decodes", again.ok() ? "" : again.error().message);
  checkSameRecord(decoded.value(), again.value(), encoded);
  fuzz::check(encodeBlockingRules(again.value()) == encoded, "writing is stable", encoded);
  return 0;
}
