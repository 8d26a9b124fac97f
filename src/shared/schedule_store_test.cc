#include "shared/schedule_store.h"

#include <gtest/gtest.h>

#include "platform/testing/memory_log_sink.h"
#include "platform/testing/temp_dir.h"

namespace varn {
namespace {

namespace fs = std::filesystem;
using platform::LogLevel;
using platform::testing::ScopedMemoryLog;
using platform::testing::TempDir;
using platform::testing::writeFile;

constexpr const char* kFailure = "Failed to load schedules: %{public}s";
constexpr const char* kOneSchedule =
    R"([{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"Mornings",)"
    R"("modeId":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8","days":[2],"startMinutes":540,)"
    R"("endMinutes":720,"breakCount":0,"isEnabled":false}])";

class ScheduleStoreTest : public ::testing::Test {
 protected:
  ScheduleStoreTest() { fs::create_directory(container()); }
  fs::path container() const { return dir_ / "container"; }
  fs::path file() const { return container() / "schedules.json"; }

  TempDir dir_;
  StoreLocations locations_ = StoreLocations::at(dir_ / "shared", container());
  ScheduleStore store_{locations_};
  ScopedMemoryLog log_;
};

TEST_F(ScheduleStoreTest, FindsTheFileInTheContainer) {
  EXPECT_EQ(store_.schedulesFileURL(), file());
  const StoreLocations none = StoreLocations::at(dir_ / "shared", std::nullopt);
  EXPECT_EQ(ScheduleStore(none).schedulesFileURL(), std::nullopt);
}

TEST_F(ScheduleStoreTest, GivesAnEmptyListQuietlyWithoutContainerFileOrSchedules) {
  const StoreLocations none = StoreLocations::at(dir_ / "shared", std::nullopt);
  EXPECT_TRUE(ScheduleStore(none).loadSchedules().empty());
  EXPECT_TRUE(store_.loadSchedules().empty());
  writeFile(file(), "[]");
  EXPECT_TRUE(store_.loadSchedules().empty());
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(ScheduleStoreTest, ReadsTheFileAfreshOnEveryCall) {
  writeFile(file(), kOneSchedule);
  std::vector<FocusSchedule> first = store_.loadSchedules();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].name, "Mornings");
  EXPECT_FALSE(first[0].isEnabled);  // disabled schedules are the caller's to skip
  writeFile(file(), "[]");
  EXPECT_TRUE(store_.loadSchedules().empty());
  EXPECT_TRUE(log_->entries().empty());
}

// What the shared reader does with a faulty file is tested with it; here, that the failure is
// this store's.
TEST_F(ScheduleStoreTest, LogsAFileItCannotDecodeAsAScheduleStoreFailure) {
  std::string text = kOneSchedule;
  text.replace(text.find("[2]"), 3, "[8]");
  writeFile(file(), text);
  EXPECT_TRUE(store_.loadSchedules().empty());
  const std::vector<platform::LogEntry> entries = log_->entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].format, kFailure);
  EXPECT_EQ(entries[0].level, LogLevel::kError);
  EXPECT_EQ(entries[0].subsystem, "com.varn.macos");
  EXPECT_EQ(entries[0].category, "schedule-store");
  EXPECT_EQ(entries[0].arguments,
            std::vector<std::string>{"[0].days[0]: weekday must be 1 to 7, found 8"});
}

}  // namespace
}  // namespace varn
