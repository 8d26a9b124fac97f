#include "platform/run_loop.h"

#include <gtest/gtest.h>

#include "platform/sd_event_run_loop.h"

namespace varn::platform {
namespace {

using namespace std::chrono_literals;

TEST(NextDueTime, KeepsTheTimersOwnScheduleAfterALateFiring) {
  using T = std::chrono::sys_seconds;
  // On time, late with the next slot ahead, one interval late (that slot is missed), three late.
  for (const auto& [now, next] : {std::pair{60, 120}, {119, 120}, {120, 180}, {191, 240}}) {
    EXPECT_EQ(nextDueTime(T(60s), 60s, T(std::chrono::seconds(now))), T(std::chrono::seconds(next)))
        << now;
  }
}

TEST(SdEventRunLoop, FiresEachRepeatingTimerAtItsOwnInterval) {
  auto created = SdEventRunLoop::create();
  ASSERT_TRUE(created.ok()) << created.error().message;
  SdEventRunLoop& loop = *created.value();
  int fast = 0, slow = 0;
  auto a = loop.addRepeatingTimer(5ms, [&] {
    if (++fast == 3) loop.exit(7);
  });
  auto b = loop.addRepeatingTimer(1h, [&] { ++slow; });
  EXPECT_EQ(loop.run(), 7);
  EXPECT_EQ(fast, 3);
  EXPECT_EQ(slow, 0);
}

}  // namespace
}  // namespace varn::platform
