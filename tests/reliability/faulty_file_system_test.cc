// save and the sweep on a full and on a read-only file system: a small tmpfs mounted on the
// shared folder in a child's own mount namespace. The failure names its cause and is logged
// once, what was there stays (the previous record, or the documented empty file), no temporary
// file is left, and the next attempt succeeds once the fault is gone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/file_coordination.h"
#include "platform/testing/fake_clock.h"
#include "platform/testing/memory_log_sink.h"
#include "shared/blocking_rule_store.h"
#include "support/mount_namespace.h"
#include "support/temp_dir.h"

namespace varn::reliability {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using support::readFile;

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
    if (!support::mountNamespacesPermitted(&why)) GTEST_SKIP() << why;
    fs::create_directories(shared_);
  }

  // Runs `body` in a forked child with a 128 KiB tmpfs on the shared folder, under an alarm, so
  // that a hang fails instead of stalling; the child reports the checks that failed on stderr.
  void withTmpfs(const std::function<void()>& body) {
    EXPECT_EXIT(
        {
          ::alarm(20);
          report_ = support::enterPrivateMountNamespace();
          if (report_.empty()) report_ = support::mountTmpfs(shared_, "size=128k,mode=1777");
          if (report_.empty()) body();
          std::fputs(report_.c_str(), stderr);
          std::_Exit(report_.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
  }
  void check(bool holds, const std::string& what) {
    if (!holds) report_ += what + "\n";
  }
  // Whether `saved` failed with `error` and the folder holds nothing but `expected` beside the
  // rules file and its lock file: no temporary file.
  void checkFailed(const Status& saved, int error, const std::vector<std::string>& expected) {
    check(!saved.ok() && saved.error().systemError == error, "save did not fail with the cause");
    std::vector<std::string> others;
    for (const fs::directory_entry& entry : fs::directory_iterator(shared_)) {
      if (entry.path() == rules_ || entry.path() == platform::lockFilePath(rules_)) continue;
      others.push_back(entry.path().filename().native());
    }
    check(others == expected, "a temporary file was left");
  }
  void checkSaves(const BlockingRules& rules) {
    check(store_.save(rules).ok() && readFile(rules_) == encodeBlockingRules(rules),
          "a save once the fault was gone did not write");
  }

  support::TempDir dir_;
  fs::path shared_ = dir_ / "Shared";
  StoreLocations locations_ = StoreLocations::at(shared_, std::nullopt);
  fs::path rules_ = locations_.sharedRulesFile;
  platform::testing::FakeClock clock_{kNoon};
  BlockingRuleStore store_{locations_, clock_};
  std::string report_;
};

TEST_F(FaultyFileSystemTest, OnAFullFileSystemSaveFailsAndKeepsWhatWasThere) {
  withTmpfs([&] {
    platform::testing::ScopedMemoryLog log;
    // No file before: the store's empty file stays, which no load takes for a record.
    check(support::fillWithFile(shared_ / "filler") == "", "could not fill it");
    checkFailed(store_.save(rulesEndingAt(kNoon + hours(1))), ENOSPC, {"filler"});
    check(readFile(rules_).empty() && !store_.load(), "not the documented empty file");
    fs::remove(shared_ / "filler");
    const BlockingRules previous = rulesEndingAt(kNoon + hours(1));
    checkSaves(previous);

    log->clear();
    check(support::fillWithFile(shared_ / "filler") == "", "could not fill it");
    checkFailed(store_.save(rulesEndingAt(kNoon + hours(2))), ENOSPC, {"filler"});
    check(log->count(kSaveFailed) == 1, "the failure was not logged once");
    check(readFile(rules_) == encodeBlockingRules(previous) && store_.load(),
          "the previous record was lost");
    fs::remove(shared_ / "filler");
    checkSaves(rulesEndingAt(kNoon + hours(3)));
  });
}

TEST_F(FaultyFileSystemTest, OnAReadOnlyFileSystemSaveAndSweepFailAndBothWorkOnceWritable) {
  withTmpfs([&] {
    platform::testing::ScopedMemoryLog log;
    // No file before: it cannot even be prepared, which the caller logs, not the store.
    check(support::setReadOnly(shared_, true) == "", "could not make it read-only");
    checkFailed(store_.save(rulesEndingAt(kNoon + hours(1))), EROFS, {});
    check(log->entries().empty() && fs::is_empty(shared_), "created or logged");
    check(support::setReadOnly(shared_, false) == "", "could not make it writable");
    const BlockingRules previous = rulesEndingAt(kNoon + hours(1));
    checkSaves(previous);

    check(support::setReadOnly(shared_, true) == "", "could not make it read-only");
    checkFailed(store_.save(rulesEndingAt(kNoon + hours(2))), EROFS, {});
    check(log->count(kSaveFailed) == 1, "the failure was not logged once");
    check(readFile(rules_) == encodeBlockingRules(previous), "the record was lost");
    // Expired now, but it cannot be removed: reported, never claimed as cleared.
    clock_.advance(hours(2));
    store_.clearIfExpired();
    check(fs::exists(rules_) && log->count("Failed to remove expired blocking rules: %s") == 1 &&
              log->count("Cleared expired blocking rules atomically") == 0,
          "the failed removal was not reported, or claimed as done");
    check(support::setReadOnly(shared_, false) == "", "could not make it writable");
    store_.clearIfExpired();
    check(!fs::exists(rules_), "the next sweep did not remove the expired record");
    checkSaves(rulesEndingAt(kNoon + hours(3)));
  });
}

}  // namespace
}  // namespace varn::reliability
