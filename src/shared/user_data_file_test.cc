#include "shared/user_data_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "platform/testing/memory_log_sink.h"
#include "shared/focus_schedule.h"
#include "shared/mode_store.h"
#include "shared/schedule_store.h"
#include "support/temp_dir.h"

namespace varn {
namespace {

namespace fs = std::filesystem;
using platform::LogLevel;
using support::writeFile;

constexpr const char* kFailure = "Failed to load things: %{public}s";

class UserDataFileTest : public ::testing::Test {
 protected:
  std::optional<std::vector<FocusSchedule>> load(const std::optional<fs::path>& location) const {
    return loadUserDataFile(location, &decodeFocusSchedules, logger_, kFailure);
  }

  support::TempDir dir_;
  const fs::path file_ = dir_ / "schedules.json";
  const platform::Logger logger_{"com.example", "things"};
  platform::testing::ScopedMemoryLog log_;
};

TEST_F(UserDataFileTest, NothingThereIsNothingQuietly) {
  fs::create_symlink(dir_ / "missing", dir_ / "dangling");
  for (const std::optional<fs::path>& location :
       {std::optional<fs::path>(), std::optional(file_), std::optional(dir_ / "dangling")}) {
    EXPECT_FALSE(load(location).has_value());
  }
  EXPECT_TRUE(log_->entries().empty());
  writeFile(file_, " [ ] ");
  const std::optional<std::vector<FocusSchedule>> empty = load(file_);
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(UserDataFileTest, LogsOneErrorWithTheReasonForAFileItCannotReadOrDecode) {
  const struct {
    const char* why;
    std::function<void(const fs::path&)> make;
    const char* inMessage;
  } cases[] = {
      {"empty file", [](const fs::path& p) { writeFile(p, ""); }, "not valid JSON"},
      {"text, not JSON", [](const fs::path& p) { writeFile(p, "days: [1]"); },
       "not valid JSON: parse error at line 1, column 1"},
      {"top-level object", [](const fs::path& p) { writeFile(p, "{}"); },
       "expected an array of schedules, found an object"},
      {"faulty item", [](const fs::path& p) { writeFile(p, "[[]]"); },
       "[0]: expected an object, found an array"},
      {"folder", [](const fs::path& p) { fs::create_directory(p); }, "Is a directory"},
      {"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); },
       "not a regular file"},
      {"link to a device", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); },
       "not a regular file"},
  };
  for (const auto& c : cases) {
    log_->clear();
    fs::remove_all(file_);
    c.make(file_);
    EXPECT_FALSE(load(file_).has_value()) << c.why;
    const std::vector<platform::LogEntry> entries = log_->entries();
    ASSERT_EQ(entries.size(), 1u) << c.why;
    EXPECT_EQ(entries[0].format, kFailure);
    EXPECT_EQ(entries[0].level, LogLevel::kError);
    EXPECT_EQ(entries[0].category, "things");
    ASSERT_EQ(entries[0].arguments.size(), 1u);
    EXPECT_NE(entries[0].arguments[0].find(c.inMessage), std::string::npos)
        << c.why << ": " << entries[0].arguments[0];
  }
}

// The two stores of the main application's files: where they look, that they read afresh, and
// that a failure is logged as theirs.
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

TEST_F(UserDataStoresTest, LookInTheContainerAndGiveNothingQuietlyWithoutOne) {
  EXPECT_EQ(modes_.modesFileURL(), container_ / "modes.json");
  EXPECT_EQ(schedules_.schedulesFileURL(), container_ / "schedules.json");
  const StoreLocations none = StoreLocations::at(dir_ / "shared", std::nullopt);
  EXPECT_EQ(ModeStore(none).modesFileURL(), std::nullopt);
  EXPECT_EQ(ScheduleStore(none).schedulesFileURL(), std::nullopt);
  EXPECT_FALSE(ModeStore(none).loadModes().has_value());
  EXPECT_TRUE(ScheduleStore(none).loadSchedules().empty());
  EXPECT_FALSE(modes_.loadModes().has_value());  // no file: nothing, unlike an empty list
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(UserDataStoresTest, ReadEveryEntryInFileOrderAfreshOnEveryCall) {
  writeFile(container_ / "modes.json",
            R"([{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"A","icon":"a","type":"block",)"
            R"("sites":["a.example"],"apps":[],"isDefault":true},)"
            R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"B","icon":"b",)"
            R"("type":"mission","sites":[],"apps":["com.example.b"],"isDefault":false}])");
  writeFile(container_ / "schedules.json",
            R"([{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"Mornings",)"
            R"("modeId":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8","days":[2],"startMinutes":540,)"
            R"("endMinutes":720,"breakCount":0,"isEnabled":false}])");
  const std::optional<std::vector<Mode>> modes = modes_.loadModes();
  ASSERT_TRUE(modes.has_value());
  ASSERT_EQ(modes->size(), 2u);  // a shared id is the caller's business
  EXPECT_EQ((*modes)[0].name, "A");
  EXPECT_EQ((*modes)[1].type, ModeType::mission);
  const std::vector<FocusSchedule> schedules = schedules_.loadSchedules();
  ASSERT_EQ(schedules.size(), 1u);
  EXPECT_EQ(schedules[0].name, "Mornings");
  EXPECT_FALSE(schedules[0].isEnabled);  // disabled schedules are the caller's to skip

  writeFile(container_ / "modes.json", "[]");
  writeFile(container_ / "schedules.json", "[]");
  ASSERT_TRUE(modes_.loadModes().has_value());
  EXPECT_TRUE(modes_.loadModes()->empty());
  EXPECT_TRUE(schedules_.loadSchedules().empty());
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(UserDataStoresTest, LogAFileTheyCannotDecodeAsTheirOwnFailure) {
  writeFile(container_ / "modes.json", "[{}]");
  writeFile(container_ / "schedules.json", "{}");
  EXPECT_FALSE(modes_.loadModes().has_value());
  EXPECT_TRUE(schedules_.loadSchedules().empty());
  const std::vector<platform::LogEntry> entries = log_->entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].format, "Failed to load modes: %{public}s");
  EXPECT_EQ(entries[0].category, "mode-store");
  EXPECT_EQ(entries[0].arguments, std::vector<std::string>{"[0].id: required key is missing"});
  EXPECT_EQ(entries[1].format, "Failed to load schedules: %{public}s");
  EXPECT_EQ(entries[1].category, "schedule-store");
  EXPECT_EQ(entries[1].arguments,
            std::vector<std::string>{"expected an array of schedules, found an object"});
  for (const platform::LogEntry& entry : entries) {
    EXPECT_EQ(entry.level, LogLevel::kError);
    EXPECT_EQ(entry.subsystem, "com.varn.macos");
  }
}

}  // namespace
}  // namespace varn
