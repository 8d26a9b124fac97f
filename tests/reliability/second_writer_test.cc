// A stand-in main application, following the README's lock-file protocol with its own plain
// system calls, reads, replaces and deletes the rules files thousands of times while the
// helper's store loads, saves and sweeps them from two threads, as the helper does.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include "main_app_stand_in.h"
#include "platform/testing/fake_clock.h"
#include "platform/testing/memory_log_sink.h"
#include "shared/blocking_rule_store.h"
#include "support/forked_child.h"
#include "support/temp_dir.h"

namespace varn::reliability {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using support::ForkedChild;
using support::SharedMemory;

const platform::Instant kNoon(sys_days(year(2026) / 3 / 2) + hours(12));
constexpr int kStandIns = 2;
constexpr int kOperationsPerStandIn = 2500;

// What every process knows of the two files. Changed only under the exclusive lock of the file
// it describes, so that a holder of that lock may compare it with what it reads.
struct Ledger {
  // The container file, which only the stand-ins write: each record carries "count-N", one more
  // than the record before it, so a lost update shows as a count that does not follow.
  std::atomic<long> containerCount{0};        // in the last record a stand-in wrote
  std::atomic<bool> containerPresent{false};  // a stand-in last wrote it, rather than deleted it
  std::atomic<bool> containerExpired{false};  // and that record has expired
  // The shared file, which only the helper's save writes ("save-K"); stand-ins delete it.
  std::atomic<long> savesStarted{0};
  std::atomic<long> savesFinished{0};
  std::atomic<int> standInsRunning{kStandIns};
  // Figures for the report.
  std::atomic<long> containerWrites{0}, containerDeletes{0}, containerReads{0}, sharedReads{0},
      sharedDeletes{0}, emptySharedFilesSeen{0}, sweptByTheHelper{0}, helperLoads{0},
      helperSweeps{0};
};

BlockingRules record(const std::string& name, bool expired) {
  return BlockingRules{platform::Uuid::random(),
                       BlockingRules::Mode::block,
                       {name},
                       expired ? kNoon - hours(1) : kNoon + hours(1),
                       {}};
}

// N when `rules` is the record "<prefix>N".
std::optional<long> numberIn(const BlockingRules& rules, std::string_view prefix) {
  if (rules.hosts.size() != 1 || !rules.hosts[0].starts_with(prefix)) return std::nullopt;
  return std::stol(rules.hosts[0].substr(prefix.size()));
}

struct Files {
  fs::path shared;
  fs::path container;
};

// Checks the container file as read under its lock against the ledger.
std::string checkContainer(const FileContent& content, const Ledger& ledger) {
  if (!content.error.empty()) return content.error;
  const long last = ledger.containerCount;
  if (!content.present) {
    if (ledger.containerPresent && !ledger.containerExpired) {
      return "the active record count-" + std::to_string(last) + " vanished";
    }
    return "";
  }
  Result<BlockingRules> rules = decodeBlockingRules(content.bytes);
  if (!rules.ok()) return "torn container file (" + rules.error().message + ")";
  const std::optional<long> count = numberIn(rules.value(), "count-");
  if (!ledger.containerPresent || count != last) {
    return "read " + rules.value().hosts.at(0) + " where the last write was count-" +
           std::to_string(last) + (ledger.containerPresent ? "" : ", deleted since");
  }
  return "";
}

// Checks the shared file, read under its lock between two looks at the helper's saves.
std::string checkShared(const FileContent& content, long finishedBefore, long startedAfter,
                        Ledger& ledger) {
  if (!content.error.empty()) return content.error;
  if (!content.present) return "";
  if (content.bytes.empty()) {
    // The store's one documented empty state: a save that found no file is under way.
    ++ledger.emptySharedFilesSeen;
    if (startedAfter > finishedBefore) return "";
    return "an empty shared file while no save was under way";
  }
  Result<BlockingRules> rules = decodeBlockingRules(content.bytes);
  if (!rules.ok()) return "torn shared file (" + rules.error().message + ")";
  const std::optional<long> saved = numberIn(rules.value(), "save-");
  if (!saved || *saved < finishedBefore || *saved > startedAfter) {
    return "read " + rules.value().hosts.at(0) + " while saves " + std::to_string(finishedBefore) +
           " to " + std::to_string(startedAfter) + " were the newest";
  }
  return "";
}

std::string changeContainer(const Files& files, Ledger& ledger, std::mt19937& random) {
  ProtocolLock lock(files.container, LOCK_EX);
  if (!lock.held()) return lock.error();
  const FileContent content = readRulesFile(files.container);
  if (std::string fault = checkContainer(content, ledger); !fault.empty()) return fault;
  if (!content.present && ledger.containerPresent) {
    ++ledger.sweptByTheHelper;
    ledger.containerPresent = false;
  }
  if (content.present && random() % 4 == 0) {
    ledger.containerPresent = false;
    ++ledger.containerDeletes;
    return deleteRulesFile(files.container);
  }
  // Read-modify-write: the next count follows the one just read, or the ledger's after a
  // deletion. The ledger moves first so that the helper's unlocked read never sees a record
  // the ledger does not know yet.
  long count = ledger.containerCount + 1;
  if (content.present) count = *numberIn(decodeBlockingRules(content.bytes).value(), "count-") + 1;
  const bool expired = random() % 3 == 0;
  ledger.containerCount = count;
  ledger.containerPresent = true;
  ledger.containerExpired = expired;
  ++ledger.containerWrites;
  return replaceRulesFile(files.container,
                          encodeBlockingRules(record("count-" + std::to_string(count), expired)));
}

std::string readContainer(const Files& files, Ledger& ledger) {
  ProtocolLock lock(files.container, LOCK_SH);
  if (!lock.held()) return lock.error();
  ++ledger.containerReads;
  return checkContainer(readRulesFile(files.container), ledger);
}

std::string readOrDeleteShared(const Files& files, Ledger& ledger, bool remove) {
  const long finishedBefore = ledger.savesFinished;
  ProtocolLock lock(files.shared, remove ? LOCK_EX : LOCK_SH);
  if (!lock.held()) return lock.error();
  const FileContent content = readRulesFile(files.shared);
  std::string fault = checkShared(content, finishedBefore, ledger.savesStarted, ledger);
  if (!fault.empty() || !remove) {
    ++ledger.sharedReads;
    return fault;
  }
  ++ledger.sharedDeletes;
  return deleteRulesFile(files.shared);
}

std::string runStandIn(const Files& files, Ledger& ledger, unsigned seed) {
  std::mt19937 random(seed);
  std::string fault;
  for (int i = 0; i < kOperationsPerStandIn && fault.empty(); ++i) {
    switch (random() % 10) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4:
        fault = changeContainer(files, ledger, random);
        break;
      case 5:
      case 6:
        fault = readContainer(files, ledger);
        break;
      case 7:
      case 8:
        fault = readOrDeleteShared(files, ledger, false);
        break;
      default:
        fault = readOrDeleteShared(files, ledger, true);
    }
  }
  --ledger.standInsRunning;
  return fault.empty() ? "" : "stand-in: " + fault;
}

// What the helper's store returned from load, checked against the ledger.
std::string checkLoaded(const std::optional<BlockingRules>& loaded, const Ledger& ledger) {
  if (!loaded) return "";
  if (const std::optional<long> saved = numberIn(*loaded, "save-")) {
    // Only this thread saves, so a shared file that is there holds the last save.
    if (*saved == ledger.savesFinished) return "";
  } else if (const std::optional<long> count = numberIn(*loaded, "count-")) {
    if (*count <= ledger.containerCount) return "";
  }
  return "load returned " + loaded->hosts.at(0) + ", which is not the newest record";
}

// The helper: load and save on one thread, sweeps on another, until the stand-ins are done.
std::string runHelper(const Files& files, Ledger& ledger) {
  platform::testing::ScopedMemoryLog log;
  platform::testing::FakeClock clock(kNoon);
  const StoreLocations locations =
      StoreLocations::at(files.shared.parent_path(), files.container.parent_path());
  const BlockingRuleStore store(locations, clock);
  std::atomic<bool> done{false};
  std::thread sweeper([&] {
    while (!done) {
      store.clearIfExpired();
      ++ledger.helperSweeps;
      // Paced like a folder that changes every fraction of a millisecond, rather than a spin
      // that would starve the other processes of the lock on two cores.
      std::this_thread::sleep_for(microseconds(200));
    }
  });
  std::string fault;
  for (long k = 1; fault.empty() && ledger.standInsRunning > 0; ++k) {
    fault = checkLoaded(store.load(), ledger);
    ++ledger.helperLoads;
    ledger.savesStarted = k;
    if (Status saved = store.save(record("save-" + std::to_string(k), k % 2 == 0)); !saved.ok()) {
      fault = "save failed: " + saved.error().message;
    }
    ledger.savesFinished = k;
  }
  done = true;
  sweeper.join();
  // A file that vanished between the existence test and the read is the only read failure a
  // coordinated writer may cause; anything else is a torn read.
  for (const platform::LogEntry& entry : log->entries()) {
    if (entry.level != platform::LogLevel::kError || !fault.empty()) continue;
    if (entry.format == "Failed to decode blocking rules: %s" &&
        entry.arguments.at(0).find("No such file") != std::string::npos) {
      continue;
    }
    fault = "unexpected log entry: " + entry.message();
  }
  return fault.empty() ? "" : "helper: " + fault;
}

TEST(ASecondWriter, NeverTearsAReadLosesACoordinatedUpdateOrDeadlocksWithTheStore) {
  support::TempDir dir;
  const Files files{dir / "Shared" / "com.varn.macos.blocking-rules.json",
                    dir / "container" / "blocking-rules.json"};
  fs::create_directories(files.shared.parent_path());
  fs::create_directories(files.container.parent_path());
  SharedMemory<Ledger> ledger;
  const unsigned seed = std::random_device()();

  std::vector<std::unique_ptr<ForkedChild>> children;
  for (int i = 0; i < kStandIns; ++i) {
    children.push_back(std::make_unique<ForkedChild>(
        [&, i] { return runStandIn(files, *ledger, seed + static_cast<unsigned>(i)); },
        seconds(30)));
  }
  children.push_back(
      std::make_unique<ForkedChild>([&] { return runHelper(files, *ledger); }, seconds(30)));
  for (auto& child : children) EXPECT_EQ(child->wait(), "") << "seed " << seed;

  // Every coordinated write counted: each count followed the one its writer read.
  ProtocolLock lock(files.container, LOCK_SH);
  ASSERT_TRUE(lock.held()) << lock.error();
  const FileContent last = readRulesFile(files.container);
  EXPECT_EQ(checkContainer(last, *ledger), "");
  EXPECT_EQ(ledger->containerCount, ledger->containerWrites);
  std::printf(
      "stand-ins: %ld container writes, %ld deletes, %ld reads; %ld shared reads, %ld deletes, "
      "%ld empty seen; helper: %ld loads, %ld saves, %ld sweeps, %ld container records swept\n",
      ledger->containerWrites.load(), ledger->containerDeletes.load(),
      ledger->containerReads.load(), ledger->sharedReads.load(), ledger->sharedDeletes.load(),
      ledger->emptySharedFilesSeen.load(), ledger->helperLoads.load(), ledger->savesFinished.load(),
      ledger->helperSweeps.load(), ledger->sweptByTheHelper.load());
}

}  // namespace
}  // namespace varn::reliability
