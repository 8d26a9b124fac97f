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

// What the shared reader does with a faulty file is tested with it; here, that the failure is
// this store's.
TEST_F(ModeStoreTest, LogsAFileItCannotDecodeAsAModeStoreFailure) {
  writeFile(file(), "[{}]");
  EXPECT_FALSE(store_.loadModes().has_value());
  const std::vector<platform::LogEntry> entries = log_->entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].format, kFailure);
  EXPECT_EQ(entries[0].level, LogLevel::kError);
  EXPECT_EQ(entries[0].subsystem, "com.varn.macos");
  EXPECT_EQ(entries[0].category, "mode-store");
  EXPECT_EQ(entries[0].arguments, std::vector<std::string>{"[0].id: required key is missing"});
}

}  // namespace
}  // namespace varn
