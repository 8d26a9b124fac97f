// Links, loops, FIFOs, sockets, folders, hard links and oversized or deeply nested JSON at the
// rules paths and the lock path: the store neither hangs, crashes nor grows without bound, and
// creates, changes or removes nothing but the rules files and their lock files.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "platform/file_coordination.h"
#include "platform/files.h"
#include "platform/testing/fake_clock.h"
#include "platform/testing/memory_log_sink.h"
#include "shared/blocking_rule_store.h"
#include "support/forked_child.h"
#include "support/temp_dir.h"
#include "tree_snapshot.h"

namespace varn::reliability {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using support::ForkedChild;
using support::writeFile;

const platform::Instant kNoon(sys_days(year(2026) / 3 / 2) + hours(12));
constexpr size_t kCap = platform::kRulesFileSizeLimit;
// The most a child living a day in a hostile folder may add to the memory it inherited,
// whatever the files hold: a file at the size cap may cost some multiple of the cap to decode,
// never more. The sanitizers' redzones and quarantine of freed memory multiply it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kMemoryBoundKiB = 1024 * 1024;
#else
constexpr long kMemoryBoundKiB = 128 * 1024;
#endif

// The resident memory of this process now, in KiB.
long residentKiB() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

BlockingRules rulesEndingAt(platform::Instant endsAt, size_t hosts = 1) {
  BlockingRules rules{platform::Uuid::random(), BlockingRules::Mode::block, {}, endsAt, {}};
  for (size_t i = 0; i < hosts; ++i) {
    rules.hosts.push_back("host" + std::to_string(i) + ".example.com");
  }
  return rules;
}

std::string nested(const std::string& open, const std::string& close) {
  const size_t depth = kCap / (open.size() + close.size());
  std::string text;
  text.reserve(kCap);
  for (size_t i = 0; i < depth; ++i) text += open;
  for (size_t i = 0; i < depth; ++i) text += close;
  return text;
}

// A valid, active record just under the size cap.
std::string largestRecord() {
  BlockingRules rules = rulesEndingAt(kNoon + hours(5));
  const size_t empty = encodeBlockingRules(rules).size();
  for (size_t size = empty; size < kCap - 64;) {
    rules.hosts.push_back("host" + std::to_string(rules.hosts.size()) + ".example.com");
    size += rules.hosts.back().size() + 3;  // the quotes and the comma
  }
  return encodeBlockingRules(rules);
}

void bindSocket(const fs::path& at) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  at.native().copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << at;
  ::close(fd);
}

enum class Where { rules, lock, container };

struct HostileCase {
  const char* what;
  Where where;
  // Plants the entry at `at`; `outside` is the folder beside the shared folder.
  std::function<void(const fs::path& at, const fs::path& outside)> plant;
  bool saveSucceeds;
};

void link(const fs::path& target, const fs::path& at) { fs::create_symlink(target, at); }

// Entries in place of a rules file or a lock file.
const HostileCase kHostileEntries[] = {
    {"a link to itself", Where::rules, [](auto& at, auto&) { link(at.filename(), at); }, false},
    {"a loop of two links", Where::rules,
     [](auto& at, auto&) {
       link(at.parent_path() / "loop", at);
       link(at, at.parent_path() / "loop");
     },
     false},
    {"a dangling link out of the folder", Where::rules,
     [](auto& at, auto& outside) { link(outside / "planted.json", at); }, false},
    {"a link to /dev/zero", Where::rules, [](auto& at, auto&) { link("/dev/zero", at); }, true},
    {"a link to an active record outside", Where::rules,
     [](auto& at, auto& outside) { link(outside / "active.json", at); }, true},
    {"a link to an expired record outside", Where::rules,
     [](auto& at, auto& outside) { link(outside / "expired.json", at); }, true},
    {"a link to a folder outside", Where::rules,
     [](auto& at, auto& outside) { link(outside / "folder", at); }, true},
    {"a hard link to an active record outside", Where::rules,
     [](auto& at, auto& outside) { fs::create_hard_link(outside / "active.json", at); }, true},
    {"a hard link to an expired record outside", Where::rules,
     [](auto& at, auto& outside) { fs::create_hard_link(outside / "expired.json", at); }, true},
    {"a FIFO", Where::rules, [](auto& at, auto&) { ASSERT_EQ(::mkfifo(at.c_str(), 0644), 0); },
     true},
    {"a socket", Where::rules, [](auto& at, auto&) { bindSocket(at); }, true},
    {"a folder with a file in it", Where::rules,
     [](auto& at, auto&) {
       fs::create_directory(at);
       writeFile(at / "inside", "x");
     },
     false},

    {"a link to a file outside", Where::lock,
     [](auto& at, auto& outside) { link(outside / "notes.txt", at); }, true},
    {"a dangling link out of the folder", Where::lock,
     [](auto& at, auto& outside) { link(outside / "planted.lock", at); }, true},
    {"a link to itself", Where::lock, [](auto& at, auto&) { link(at.filename(), at); }, true},
    {"a hard link to a file outside", Where::lock,
     [](auto& at, auto& outside) { fs::create_hard_link(outside / "notes.txt", at); }, true},
    {"a folder", Where::lock, [](auto& at, auto&) { fs::create_directory(at); }, true},
    {"a FIFO", Where::lock, [](auto& at, auto&) { ASSERT_EQ(::mkfifo(at.c_str(), 0644), 0); },
     true},

    {"a link to an expired record outside", Where::container,
     [](auto& at, auto& outside) { link(outside / "expired.json", at); }, true},
    {"a hard link to an expired record outside", Where::container,
     [](auto& at, auto& outside) { fs::create_hard_link(outside / "expired.json", at); }, true},
    {"a link to itself", Where::container, [](auto& at, auto&) { link(at.filename(), at); }, true},
    {"a link to /dev/zero", Where::container, [](auto& at, auto&) { link("/dev/zero", at); }, true},
};

// Files whose content is too large, too deep or merely large.
const HostileCase kHostileContents[] = {
    {"a file over the size cap", Where::rules,
     [](auto& at, auto&) { writeFile(at, std::string(kCap + 1, ' ')); }, true},
    {"1 MiB of '['", Where::rules, [](auto& at, auto&) { writeFile(at, std::string(kCap, '[')); },
     true},
    {"1 MiB of nested arrays", Where::rules,
     [](auto& at, auto&) { writeFile(at, nested("[", "]")); }, true},
    {"1 MiB of nested objects", Where::rules,
     [](auto& at, auto&) { writeFile(at, nested("{\"a\":", "}")); }, true},
    // The costliest flat document: an allocation for each of 87,000 values. A quarter of the
    // cap, so that the sanitizer builds read it three times in seconds, not tens of seconds.
    {"256 KiB of empty arrays in one array", Where::rules,
     [](auto& at, auto&) {
       std::string text = "[[]";
       while (text.size() < kCap / 4 - 4) text += ",[]";
       writeFile(at, text + "]");
     },
     true},
    {"a valid record just under the cap", Where::rules,
     [](auto& at, auto&) {
       const std::string record = largestRecord();
       ASSERT_LE(record.size(), kCap);
       writeFile(at, record);
     },
     true},

    {"1 MiB of '['", Where::container,
     [](auto& at, auto&) { writeFile(at, std::string(kCap, '[')); }, true},
};

const char* nameOf(Where where) {
  switch (where) {
    case Where::rules:
      return "rules path";
    case Where::lock:
      return "lock path";
    default:
      return "container path";
  }
}

class HostileSharedFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(outside_ / "folder");
    writeFile(outside_ / "folder" / "inside", "x");
    writeFile(outside_ / "active.json", encodeBlockingRules(rulesEndingAt(kNoon + hours(1))));
    writeFile(outside_ / "expired.json", encodeBlockingRules(rulesEndingAt(kNoon - hours(1))));
    writeFile(outside_ / "notes.txt", "not a record");
  }

  // A day of the helper in the case's folder, in a child bounded in time: load, sweep, save,
  // load, sweep once the save has expired, save again, load. "" when the saves went as
  // expected and the last one is what the rules file holds.
  static std::string liveADay(const StoreLocations& locations, const std::string& last,
                              bool saveSucceeds) {
    platform::testing::ScopedMemoryLog log;
    platform::testing::FakeClock clock(kNoon);
    const BlockingRuleStore store(locations, clock);
    (void)store.load();
    store.clearIfExpired();
    const BlockingRules first = rulesEndingAt(kNoon + hours(1));
    if (store.save(first).ok() != saveSucceeds) return "the first save did not go as expected";
    const std::optional<BlockingRules> loaded = store.load();
    if (saveSucceeds && (!loaded || loaded->sessionId != first.sessionId)) {
      return "the save was not read back";
    }
    clock.advance(hours(2));
    store.clearIfExpired();
    if (store.save(decodeBlockingRules(last).value()).ok() != saveSucceeds) {
      return "the second save did not go as expected";
    }
    (void)store.load();
    return "";
  }

  // Plants the case's entry, lets a child live a day beside it, and compares the whole tree
  // before and after.
  void liveBeside(const HostileCase& c) {
    const std::string label = std::string(c.what) + " at the " + nameOf(c.where);
    const fs::path folder = dir_ / ("case-" + std::to_string(++cases_));
    const StoreLocations locations = StoreLocations::at(folder / "Shared", folder / "container");
    const fs::path rules = locations.sharedRulesFile;
    const fs::path container = *locations.containerFile("blocking-rules.json");
    fs::create_directories(rules.parent_path());
    fs::create_directories(container.parent_path());
    const fs::path planted = c.where == Where::rules  ? rules
                             : c.where == Where::lock ? platform::lockFilePath(rules)
                                                      : container;
    c.plant(planted, outside_);
    const TreeSnapshot before = snapshotTree(dir_.path());

    const std::string last = encodeBlockingRules(rulesEndingAt(kNoon + hours(3)));
    const long inherited = residentKiB();
    ForkedChild child([&] { return liveADay(locations, last, c.saveSucceeds); }, seconds(20));
    EXPECT_EQ(child.wait(), "") << label;
    const long added = child.maxResidentKiB() - inherited;
    EXPECT_LT(added, kMemoryBoundKiB) << label;
    if (added > mostAddedKiB_) {
      mostAddedKiB_ = added;
      costliest_ = label;
    }

    // Changed or new entries: only the rules file holding the last save, and lock files the
    // store created where there were none.
    const TreeSnapshot after = snapshotTree(dir_.path());
    for (const auto& [relative, state] : after) {
      const auto old = before.find(relative);
      if (old != before.end() && old->second == state) continue;
      const fs::path path = dir_ / relative;
      if (path == rules.parent_path() || path == container.parent_path()) continue;  // timestamps
      const bool lockCreated =
          (path == platform::lockFilePath(rules) || path == platform::lockFilePath(container)) &&
          old == before.end() && state.kind == "file" && state.size == 0;
      const bool savedHere = path == rules && c.saveSucceeds && state.kind == "file" &&
                             support::readFile(rules) == last && (state.mode & 07777) == 0644;
      EXPECT_TRUE(lockCreated || savedHere)
          << label << ": " << relative << " became " << state.describe();
    }
    for (const auto& [relative, state] : before) {
      const fs::path path = dir_ / relative;
      // Only what sits at a rules path may go: swept, or replaced by a save.
      EXPECT_TRUE(after.contains(relative) || path == rules || path == container)
          << label << ": " << relative << " was removed";
    }
    if (!c.saveSucceeds) {
      EXPECT_EQ(before.at(planted.lexically_relative(dir_.path())),
                after.at(planted.lexically_relative(dir_.path())))
          << label;
    }
  }

  void TearDown() override {
    if (cases_ == 0) return;
    std::printf("%d hostile cases; the most memory a child added: %ld KiB (%s)\n", cases_,
                mostAddedKiB_, costliest_.empty() ? "none grew" : costliest_.c_str());
  }

  support::TempDir dir_;
  fs::path outside_ = dir_ / "outside";
  int cases_ = 0;
  long mostAddedKiB_ = 0;  // to the memory a child inherited
  std::string costliest_;
};

TEST_F(HostileSharedFolderTest, EntriesInPlaceOfTheFilesNeverLeadTheStoreOutsideThem) {
  for (const HostileCase& c : kHostileEntries) liveBeside(c);
}

TEST_F(HostileSharedFolderTest, LargeAndDeepContentCostsBoundedMemoryAndTouchesNothingElse) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "one thread in each process: the thread sanitizer would only make it slower";
#endif
  for (const HostileCase& c : kHostileContents) liveBeside(c);
}

}  // namespace
}  // namespace varn::reliability
