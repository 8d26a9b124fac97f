#include "helper/helper.h"

#include <gtest/gtest.h>

#include "platform/testing/fake_clock.h"
#include "platform/testing/fake_run_loop.h"
#include "platform/testing/memory_log_sink.h"
#include "platform/testing/temp_dir.h"

namespace varn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::Instant;

const Instant kStart(std::chrono::sys_days(std::chrono::year(2026) / 3 / 2) + 12h);

class HelperTest : public ::testing::Test {
 protected:
  void putRulesEndingAt(Instant endsAt) {
    fs::create_directories(locations_.sharedRulesFile.parent_path());
    platform::testing::writeFile(
        locations_.sharedRulesFile,
        encodeBlockingRules({platform::Uuid::random(), BlockingRules::Mode::block, {}, endsAt, {}}));
  }
  size_t sweeps() const { return log_->count("Cleared expired blocking rules atomically"); }

  platform::testing::TempDir dir_;
  StoreLocations locations_ = StoreLocations::at(dir_ / "Shared", dir_ / "container");
  platform::testing::FakeClock clock_{kStart};
  platform::testing::FakeRunLoop loop_{&clock_};
  platform::testing::ScopedMemoryLog log_;
  Helper helper_{loop_, locations_, clock_};
};

TEST_F(HelperTest, SweepsExpiredRulesEverySixtySecondsStartingOneIntervalAfterStart) {
  putRulesEndingAt(kStart - 1s);
  helper_.start();
  EXPECT_TRUE(fs::exists(locations_.sharedRulesFile));  // no sweep at start by the entry itself
  loop_.advance(59s);
  EXPECT_TRUE(fs::exists(locations_.sharedRulesFile));
  loop_.advance(1s);
  EXPECT_FALSE(fs::exists(locations_.sharedRulesFile));
  EXPECT_EQ(sweeps(), 1u);

  // A session that ends at 2:30 is removed by the sweep at 3:00, not earlier.
  putRulesEndingAt(kStart + 150s);
  loop_.advance(60s);  // 2:00
  EXPECT_TRUE(fs::exists(locations_.sharedRulesFile));
  loop_.advance(60s);  // 3:00
  EXPECT_FALSE(fs::exists(locations_.sharedRulesFile));
  EXPECT_EQ(sweeps(), 2u);
}

}  // namespace
}  // namespace varn
