// Two readings of the same bytes. As text for parseInternetDateTime(): an instant it accepts
// must format as "YYYY-MM-DDTHH:MM:SSZ" and read back as the same instant cut to whole seconds
// (floor, also before 1970). As a count of nanoseconds since 1970: the formatted instant must
// read back the same way whenever its whole seconds lie within the range the reader accepts.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "shared/date_time.h"

namespace varn {
namespace {

using namespace std::chrono;

std::string describe(platform::Instant instant) {
  return std::to_string(instant.time_since_epoch().count()) + " ns since 1970";
}

void checkFormatsAndReadsBack(platform::Instant instant) {
  const std::string text = formatInternetDateTime(instant);
  const std::string detail = describe(instant) + " formats as " + text;
  fuzz::check(text.size() == 20 && text[10] == 'T' && text[19] == 'Z',
              "an instant formats as YYYY-MM-DDTHH:MM:SSZ", detail);
  const std::optional<platform::Instant> again = parseInternetDateTime(text);
  fuzz::check(again.has_value(), "a formatted instant reads back", detail);
  fuzz::check(*again == floor<seconds>(instant), "it reads back cut to whole seconds", detail);
}

}  // namespace
}  // namespace varn

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  using namespace varn;
  if (std::optional<platform::Instant> parsed = parseInternetDateTime(fuzz::asText(data, size))) {
    checkFormatsAndReadsBack(*parsed);
  }
  if (size >= sizeof(std::int64_t)) {
    std::int64_t count = 0;
    std::memcpy(&count, data, sizeof count);
    const platform::Instant instant{nanoseconds(count)};
    // The reader keeps one second clear of both ends of the nanosecond range.
    constexpr auto kReadable = duration_cast<seconds>(nanoseconds::max()) - seconds(1);
    const seconds whole = floor<seconds>(instant.time_since_epoch());
    if (whole <= kReadable && whole >= -kReadable) checkFormatsAndReadsBack(instant);
  }
  return 0;
}
