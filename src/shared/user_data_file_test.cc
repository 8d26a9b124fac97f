#include "shared/user_data_file.h"

#include <gtest/gtest.h>

#include "platform/testing/memory_log_sink.h"
#include "shared/mode_store.h"
#include "shared/schedule_store.h"
#include "support/temp_dir.h"

namespace varn {
namespace {

namespace fs = std::filesystem;
using support::writeFile;

// The two stores of the main application's files, which read them through loadUserDataFile.
class UserDataStoresTest : public ::testing::Test {
 protected:
  UserDataStoresTest() { fs::create_directory(container_); }

  support::TempDir dir_;
  const fs::path container_ = dir_ / "container";
  StoreLocations locations_ = StoreLocations::at(dir_ / "shared", container_);
  ModeStore modes_{locations_};
  ScheduleStore schedules_{locations_};
  platform::testing::ScopedMemoryLog log_;
};

TEST_F(UserDataStoresTest, GiveNothingQuietlyWithoutAContainerOrAFile) {
  EXPECT_EQ(modes_.modesFileURL(), container_ / "modes.json");
  EXPECT_EQ(schedules_.schedulesFileURL(), container_ / "schedules.json");
  const StoreLocations none = StoreLocations::at(dir_ / "shared", std::nullopt);
  EXPECT_EQ(ModeStore(none).modesFileURL(), std::nullopt);
  EXPECT_FALSE(ModeStore(none).loadModes().has_value());
  EXPECT_TRUE(ScheduleStore(none).loadSchedules().empty());
  EXPECT_FALSE(modes_.loadModes().has_value());  // no file: nothing, unlike an empty list
  // A file removed between the read and the check counts as absent, as a dangling link does.
  fs::create_symlink(dir_ / "missing", container_ / "modes.json");
  EXPECT_FALSE(modes_.loadModes().has_value());
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(UserDataStoresTest, ReadEveryEntryInFileOrderAfreshOnEveryCall) {
  const auto mode = [](const char* name) {
    return std::string(R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":")") + name +
           R"(","icon":"a","type":"block","sites":[],"apps":[],"isDefault":false})";
  };
  writeFile(container_ / "modes.json", "[" + mode("A") + "," + mode("B") + "]");
  writeFile(container_ / "schedules.json",
            R"([{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"Mornings",)"
            R"("modeId":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8","days":[2],"startMinutes":540,)"
            R"("endMinutes":720,"breakCount":0,"isEnabled":false}])");
  const std::optional<std::vector<Mode>> modes = modes_.loadModes();
  ASSERT_TRUE(modes.has_value());
  ASSERT_EQ(modes->size(), 2u);  // a shared id is the caller's business
  EXPECT_EQ((*modes)[0].name + (*modes)[1].name, "AB");
  ASSERT_EQ(schedules_.loadSchedules().size(), 1u);
  EXPECT_EQ(schedules_.loadSchedules()[0].name, "Mornings");

  writeFile(container_ / "modes.json", " [ ] ");
  writeFile(container_ / "schedules.json", "[]");
  ASSERT_TRUE(modes_.loadModes().has_value());
  EXPECT_TRUE(modes_.loadModes()->empty());
  EXPECT_TRUE(schedules_.loadSchedules().empty());
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(UserDataStoresTest, LogAFileTheyCannotReadOrDecodeAsTheirOwnError) {
  writeFile(container_ / "modes.json", "[{}]");
  fs::create_directory(container_ / "schedules.json");
  EXPECT_FALSE(modes_.loadModes().has_value());
  EXPECT_TRUE(schedules_.loadSchedules().empty());
  const std::vector<platform::LogEntry> entries = log_->entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].format, "Failed to load modes: %{public}s");
  EXPECT_EQ(entries[0].category, "mode-store");
  EXPECT_EQ(entries[0].arguments, std::vector<std::string>{"[0].id: required key is missing"});
  EXPECT_EQ(entries[1].format, "Failed to load schedules: %{public}s");
  EXPECT_EQ(entries[1].category, "schedule-store");
  ASSERT_EQ(entries[1].arguments.size(), 1u);
  EXPECT_NE(entries[1].arguments[0].find("Is a directory"), std::string::npos);
  for (const platform::LogEntry& entry : entries) {
    EXPECT_EQ(entry.level, platform::LogLevel::kError);
    EXPECT_EQ(entry.subsystem, "com.varn.macos");
  }
}

}  // namespace
}  // namespace varn
