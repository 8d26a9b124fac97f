#include "shared/user_data_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "platform/testing/memory_log_sink.h"
#include "platform/testing/temp_dir.h"
#include "shared/focus_schedule.h"

namespace varn {
namespace {

namespace fs = std::filesystem;
using platform::LogLevel;
using platform::testing::writeFile;

constexpr const char* kFailure = "Failed to load things: %{public}s";

class UserDataFileTest : public ::testing::Test {
 protected:
  std::optional<std::vector<FocusSchedule>> load(const std::optional<fs::path>& location) const {
    return loadUserDataFile(location, &decodeFocusSchedules, logger_, kFailure);
  }

  platform::testing::TempDir dir_;
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

}  // namespace
}  // namespace varn
