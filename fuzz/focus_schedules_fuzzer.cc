// Any bytes go to the schedules.json decoder. Every decoded schedule has a break length of at
// least one second; whatever decodes must re-encode to a document that decodes to equal
// schedules, and writing those again must give the same bytes.
#include <cstdint>

#include "fuzz/fuzz_check.h"
#include "shared/focus_schedule.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  using namespace varn;
  Result<std::vector<FocusSchedule>> decoded = decodeFocusSchedules(fuzz::asText(data, size));
  if (!decoded.ok()) return 0;
  for (const FocusSchedule& schedule : decoded.value()) {
    fuzz::check(schedule.breakDurationSeconds >= 1, "a break lasts at least one second");
  }
  const std::string encoded = encodeFocusSchedules(decoded.value());
  Result<std::vector<FocusSchedule>> again = decodeFocusSchedules(encoded);
  fuzz::check(again.ok(), "written schedules decode", again.ok() ? "" : again.error().message);
  fuzz::check(again.value() == decoded.value(), "schedules survive writing", encoded);
  fuzz::check(encodeFocusSchedules(again.value()) == encoded, "writing is stable", encoded);
  return 0;
}
