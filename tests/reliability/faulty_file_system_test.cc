// save on a full and on a read-only file system: an error that names the cause, one log entry,
// the previous record kept, no temporary file left, and success once the fault is gone. Each
// test mounts a small tmpfs in a mount namespace of its own child process.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/file_coordination.h"
#include "platform/testing/fake_clock.h"
#include "platform/testing/memory_log_sink.h"
#include "shared/blocking_rule_store.h"
#include "support/forked_child.h"
#include "support/mount_namespace.h"
#include "support/temp_dir.h"

namespace varn::reliability {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using support::Checks;
using support::enterPrivateMountNamespace;
using support::fillWithEmptyFiles;
using support::fillWithFile;
using support::mountNamespacesPermitted;
using support::mountTmpfs;
using support::readFile;
using support::runInChild;
using support::setReadOnly;

const platform::Instant kNoon(sys_days(year(2026) / 3 / 2) + hours(12));
constexpr const char* kSaveFailed = "Failed to save blocking rules: %s";

BlockingRules rulesEndingAt(platform::Instant endsAt) {
  return BlockingRules{
      platform::Uuid::random(), BlockingRules::Mode::block, {"example.com"}, endsAt, {}};
}

class FaultyFileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!mountNamespacesPermitted(&why)) GTEST_SKIP() << why;
    fs::create_directories(shared_);
  }

  // Runs `body` in a child with a tmpfs mounted on the shared folder.
  std::string withTmpfs(const std::string& options, const std::function<void(Checks&)>& body) {
    return runInChild(
        [&]() -> std::string {
          if (std::string e = enterPrivateMountNamespace(); !e.empty()) return e;
          if (std::string e = mountTmpfs(shared_, options); !e.empty()) return e;
          Checks checks;
          body(checks);
          return checks.report();
        },
        seconds(20));
  }

  // The folder's entries other than the rules file and its lock file.
  std::vector<std::string> otherEntries() const {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(shared_)) {
      if (entry.path() == rules_ || entry.path() == platform::lockFilePath(rules_)) continue;
      names.push_back(entry.path().filename().native());
    }
    return names;
  }

  std::string contents() const { return readFile(rules_); }

  support::TempDir dir_;
  fs::path shared_ = dir_ / "Shared";
  StoreLocations locations_ = StoreLocations::at(shared_, std::nullopt);
  fs::path rules_ = locations_.sharedRulesFile;
  platform::testing::FakeClock clock_{kNoon};
  BlockingRuleStore store_{locations_, clock_};
};

TEST_F(FaultyFileSystemTest, OnAFullFileSystemSaveFailsAndKeepsThePreviousRecord) {
  EXPECT_EQ(
      withTmpfs(
          "size=128k,mode=1777",
          [&](Checks& check) {
            platform::testing::ScopedMemoryLog log;
            const BlockingRules previous = rulesEndingAt(kNoon + hours(1));
            check.expect(store_.save(previous).ok(), "the first save failed");
            check.expect(fillWithFile(shared_ / "filler") == "", "could not fill the file system");

            Status full = store_.save(rulesEndingAt(kNoon + hours(2)));
            check.expect(!full.ok() && full.error().systemError == ENOSPC,
                         "save did not report ENOSPC");
            check.expect(log->count(kSaveFailed) == 1, "the failure was not logged once");
            check.expect(contents() == encodeBlockingRules(previous),
                         "the previous record was lost");
            check.expect(otherEntries() == std::vector<std::string>{"filler"},
                         "a temporary file was left");
            check.expect(store_.load().has_value(), "the previous record could not be loaded");

            // The next attempt, once there is room, succeeds.
            fs::remove(shared_ / "filler");
            const BlockingRules next = rulesEndingAt(kNoon + hours(3));
            check.expect(store_.save(next).ok(), "the save after freeing space failed");
            check.expect(contents() == encodeBlockingRules(next), "the retried save wrote nothing");
          }),
      "");
}

TEST_F(FaultyFileSystemTest, OnAFullFileSystemWithoutAFileSaveLeavesTheDocumentedEmptyFile) {
  EXPECT_EQ(
      withTmpfs(
          "size=128k,mode=1777",
          [&](Checks& check) {
            platform::testing::ScopedMemoryLog log;
            check.expect(fillWithFile(shared_ / "filler") == "", "could not fill the file system");
            Status full = store_.save(rulesEndingAt(kNoon + hours(1)));
            check.expect(!full.ok() && full.error().systemError == ENOSPC,
                         "save did not report ENOSPC");
            check.expect(fs::exists(rules_) && contents().empty(),
                         "not the empty file of a failed save");
            check.expect(otherEntries() == std::vector<std::string>{"filler"},
                         "a temporary file was left");
            check.expect(!store_.load().has_value(), "an empty file loaded as a record");

            fs::remove(shared_ / "filler");
            const BlockingRules next = rulesEndingAt(kNoon + hours(1));
            check.expect(store_.save(next).ok(), "the save after freeing space failed");
            check.expect(contents() == encodeBlockingRules(next), "the retried save wrote nothing");
          }),
      "");
}

TEST_F(FaultyFileSystemTest, WithoutFreeInodesSaveFailsAndKeepsThePreviousRecord) {
  EXPECT_EQ(withTmpfs("size=1m,nr_inodes=16,mode=1777",
                      [&](Checks& check) {
                        platform::testing::ScopedMemoryLog log;
                        const BlockingRules previous = rulesEndingAt(kNoon + hours(1));
                        check.expect(store_.save(previous).ok(), "the first save failed");
                        int fillers = 0;
                        check.expect(fillWithEmptyFiles(shared_, &fillers) == "",
                                     "the inodes never ran out");

                        Status full = store_.save(rulesEndingAt(kNoon + hours(2)));
                        check.expect(!full.ok() && full.error().systemError == ENOSPC,
                                     "save did not report ENOSPC");
                        check.expect(log->count(kSaveFailed) == 1,
                                     "the failure was not logged once");
                        check.expect(contents() == encodeBlockingRules(previous),
                                     "the previous record was lost");
                        check.expect(otherEntries().size() == static_cast<size_t>(fillers),
                                     "a temporary file was left");

                        fs::remove(shared_ / "0");
                        check.expect(store_.save(rulesEndingAt(kNoon + hours(3))).ok(),
                                     "the retried save failed");
                      }),
            "");
}

TEST_F(FaultyFileSystemTest, OnAReadOnlyFileSystemSaveAndSweepFailAndBothWorkOnceWritable) {
  EXPECT_EQ(
      withTmpfs(
          "size=128k,mode=1777",
          [&](Checks& check) {
            platform::testing::ScopedMemoryLog log;
            const BlockingRules previous = rulesEndingAt(kNoon + hours(1));
            check.expect(store_.save(previous).ok(), "the first save failed");
            check.expect(setReadOnly(shared_, true) == "", "could not make the mount read-only");

            Status readOnly = store_.save(rulesEndingAt(kNoon + hours(2)));
            check.expect(!readOnly.ok() && readOnly.error().systemError == EROFS,
                         "save did not report EROFS");
            check.expect(log->count(kSaveFailed) == 1, "the failure was not logged once");
            check.expect(contents() == encodeBlockingRules(previous),
                         "the previous record was lost");
            // Expired now, but it cannot be removed: reported, never claimed as cleared.
            clock_.advance(hours(2));
            store_.clearIfExpired();
            check.expect(fs::exists(rules_), "an expired record vanished from a read-only mount");
            check.expect(log->count("Failed to remove expired blocking rules: %s") == 1,
                         "the failed removal was not logged");
            check.expect(log->count("Cleared expired blocking rules atomically") == 0,
                         "a failed removal was logged as cleared");

            check.expect(setReadOnly(shared_, false) == "", "could not make the mount writable");
            store_.clearIfExpired();
            check.expect(!fs::exists(rules_), "the next sweep did not remove the expired record");
            check.expect(store_.save(rulesEndingAt(kNoon + hours(3))).ok(),
                         "the retried save failed");
            check.expect(otherEntries().empty(), "a temporary file was left");
          }),
      "");
}

TEST_F(FaultyFileSystemTest, OnAReadOnlyFileSystemWithoutAFileSaveCreatesNothing) {
  EXPECT_EQ(
      withTmpfs(
          "size=128k,mode=1777",
          [&](Checks& check) {
            platform::testing::ScopedMemoryLog log;
            check.expect(setReadOnly(shared_, true) == "", "could not make the mount read-only");
            Status readOnly = store_.save(rulesEndingAt(kNoon + hours(1)));
            check.expect(!readOnly.ok() && readOnly.error().systemError == EROFS,
                         "save did not report EROFS");
            // The file could not even be prepared: the caller logs that, the store does not.
            check.expect(log->entries().empty(), "the store logged a failure its caller reports");
            check.expect(fs::is_empty(shared_), "something was created on a read-only mount");
          }),
      "");
}

}  // namespace
}  // namespace varn::reliability
