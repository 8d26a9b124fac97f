#include "platform/run_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "platform/sd_event_run_loop.h"

namespace varn::platform {
namespace {

using namespace std::chrono_literals;
using std::chrono::seconds;

TEST(NextDueTime, KeepsTheTimersOwnScheduleAfterALateFiring) {
  using T = std::chrono::sys_time<seconds>;
  const struct {
    int due, now, expected;
  } cases[] = {
      {60, 60, 120},   // on time
      {60, 61, 120},   // slightly late
      {60, 119, 120},  // late, but the next slot is still ahead
      {60, 120, 180},  // exactly one interval late: that slot is missed, not made up
      {60, 191, 240},  // three slots late: one late firing, then back on the grid
  };
  for (const auto& c : cases) {
    EXPECT_EQ(nextDueTime(T(seconds(c.due)), seconds(60), T(seconds(c.now))),
              T(seconds(c.expected)))
        << "due " << c.due << " now " << c.now;
  }
}

TEST(SdEventRunLoop, FiresRepeatingTimersOnTheLoopThread) {
  auto created = SdEventRunLoop::create();
  ASSERT_TRUE(created.ok()) << created.error().message;
  SdEventRunLoop& loop = *created.value();
  const auto thread = std::this_thread::get_id();
  int fast = 0, slow = 0;
  bool otherThread = false;
  auto a = loop.addRepeatingTimer(5ms, [&] {
    otherThread |= std::this_thread::get_id() != thread;
    if (++fast == 3) loop.exit(7);
  });
  auto b = loop.addRepeatingTimer(1h, [&] { ++slow; });
  EXPECT_EQ(loop.run(), 7);
  EXPECT_EQ(fast, 3);
  EXPECT_EQ(slow, 0);
  EXPECT_FALSE(otherThread);
}

}  // namespace
}  // namespace varn::platform
