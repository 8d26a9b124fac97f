#include "shared/mode_store.h"

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

constexpr const char* kFailure = "Failed to load modes: %{public}s";

class ModeStoreTest : public ::testing::Test {
 protected:
  ModeStoreTest() { fs::create_directory(container()); }
  fs::path container() const { return dir_ / "container"; }
  fs::path file() const { return container() / "modes.json"; }

  TempDir dir_;
  StoreLocations locations_ = StoreLocations::at(dir_ / "shared", container());
  ModeStore store_{locations_};
  ScopedMemoryLog log_;
};

TEST_F(ModeStoreTest, GivesNothingQuietlyWithoutContainerOrFile) {
  const StoreLocations none = StoreLocations::at(dir_ / "shared", std::nullopt);
  EXPECT_EQ(ModeStore(none).modesFileURL(), std::nullopt);
  EXPECT_FALSE(ModeStore(none).loadModes().has_value());
  EXPECT_EQ(store_.modesFileURL(), file());
  EXPECT_FALSE(store_.loadModes().has_value());
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(ModeStoreTest, GivesAnEmptyListNotNothingForAnEmptyArray) {
  writeFile(file(), " [ ] ");
  const std::optional<std::vector<Mode>> modes = store_.loadModes();
  ASSERT_TRUE(modes.has_value());
  EXPECT_TRUE(modes->empty());
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(ModeStoreTest, ReadsEveryModeInFileOrder) {
  writeFile(file(),
            R"([{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"A","icon":"a","type":"block",)"
            R"("sites":["a.example"],"apps":[],"isDefault":true},)"
            R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"B","icon":"b",)"
            R"("type":"mission","sites":[],"apps":["com.example.b"],"isDefault":false}])");
  const std::optional<std::vector<Mode>> modes = store_.loadModes();
  ASSERT_TRUE(modes.has_value());
  ASSERT_EQ(modes->size(), 2u);  // a shared id is the caller's business
  EXPECT_EQ((*modes)[0].name, "A");
  EXPECT_EQ((*modes)[1].type, ModeType::mission);
}

TEST_F(ModeStoreTest, LogsOneErrorForAFileItCannotReadOrDecode) {
  const struct {
    const char* why;
    std::function<void(const fs::path&)> make;
    const char* inMessage;
  } cases[] = {
      {"empty file", [](const fs::path& p) { writeFile(p, ""); }, "not valid JSON"},
      {"top-level object", [](const fs::path& p) { writeFile(p, R"({"modes":[]})"); },
       "expected an array of modes, found an object"},
      {"faulty mode", [](const fs::path& p) { writeFile(p, "[{}]"); },
       "[0].id: required key is missing"},
      {"folder named modes.json", [](const fs::path& p) { fs::create_directory(p); },
       "Is a directory"},
      {"link to a device", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); },
       "not a regular file"},
  };
  for (const auto& c : cases) {
    log_->clear();
    fs::remove_all(file());
    c.make(file());
    EXPECT_FALSE(store_.loadModes().has_value()) << c.why;
    const std::vector<platform::LogEntry> entries = log_->entries();
    ASSERT_EQ(entries.size(), 1u) << c.why;
    EXPECT_EQ(entries[0].format, kFailure);
    EXPECT_EQ(entries[0].level, LogLevel::kError);
    EXPECT_EQ(entries[0].subsystem, "com.varn.macos");
    EXPECT_EQ(entries[0].category, "mode-store");
    ASSERT_EQ(entries[0].arguments.size(), 1u);
    EXPECT_NE(entries[0].arguments[0].find(c.inMessage), std::string::npos)
        << c.why << ": " << entries[0].arguments[0];
  }
}

}  // namespace
}  // namespace varn
