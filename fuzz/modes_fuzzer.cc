// Any bytes go to the modes.json decoder. Whatever decodes must re-encode to a document that
// decodes to equal modes, and writing those again must give the same bytes.
#include <cstdint>

#include "fuzz/fuzz_check.h"
#include "shared/mode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  using namespace varn;
  Result<std::vector<Mode>> decoded = decodeModes(fuzz::asText(data, size));
  if (!decoded.ok()) return 0;
  fuzz::check(decoded.value() == decoded.value(), "a mode equals itself");
  const std::string encoded = encodeModes(decoded.value());
  Result<std::vector<Mode>> again = decodeModes(encoded);
  fuzz::check(again.ok(), "written modes decode", again.ok() ? "" : again.error().message);
  fuzz::check(again.value() == decoded.value(), "modes survive writing", encoded);
  fuzz::check(encodeModes(again.value()) == encoded, "writing is stable", encoded);
  return 0;
}
