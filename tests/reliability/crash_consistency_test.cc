// A child process saves rules in a loop and is killed with SIGKILL at random moments; after each
// kill the shared rules file holds a whole record that was written, never a torn one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <thread>

#include "platform/file_coordination.h"
#include "platform/testing/fake_clock.h"
#include "shared/blocking_rule_store.h"
#include "support/temp_dir.h"

namespace varn::reliability {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using support::readFile;

const platform::Instant kNoon(sys_days(year(2026) / 3 / 2) + hours(12));
// Each kill costs a new child and a save or two; the address sanitizer makes both slower.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kKills = 150;
#else
constexpr int kKills = 300;
#endif

// Save number k: from one host to a few kilobytes, so that a torn write would show, with an
// identity fixed by k, so that the parent can rebuild its exact bytes.
std::string recordBytes(long k) {
  char id[40];
  std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012ld", k);
  BlockingRules rules{
      *platform::Uuid::parse(id), BlockingRules::Mode::block, {}, kNoon + seconds(k), {}};
  for (long i = 0; i <= (k % 5) * 40; ++i) {
    rules.hosts.push_back("host-" + std::to_string(k) + "-" + std::to_string(i) + ".example.com");
  }
  return encodeBlockingRules(rules);
}

// In memory shared with the saver: the save under way (or the last begun) and the last done.
struct Progress {
  std::atomic<long> started{0}, finished{0};
};

struct Tally {
  int previous = 0, next = 0;
};

// The rules file after a kill in a round that began with `before` ("<missing>" for no file) and
// first saved `first`: "" when it is a whole record that was written, or the store's documented
// empty file of a save cut short; otherwise what is wrong with it.
std::string inspect(const fs::path& rules, const std::string& before, long first,
                    const Progress& progress, Tally& tally) {
  const long started = progress.started, finished = progress.finished;
  const bool saveFinished = finished >= first;
  struct stat st {};
  if (::lstat(rules.c_str(), &st) != 0) {
    return before == "<missing>" && !saveFinished ? "" : "the rules file vanished";
  }
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return "the rules path is not a plain file";
  const std::string bytes = readFile(rules);
  // Killed between creating the empty file and its chmod, it may keep the umask's mode.
  if (bytes.empty() && (before.empty() || before == "<missing>") && !saveFinished) return "";
  if ((st.st_mode & 07777) != 0644) return "a record with another mode than 0644";
  if (bytes == (saveFinished ? recordBytes(finished) : before)) return ++tally.previous, "";
  if (started >= first && bytes == recordBytes(started)) return ++tally.next, "";
  return "torn or unknown content (" + std::to_string(bytes.size()) + " bytes) after save " +
         std::to_string(started) + " began";
}

// How long one save takes in this build on this machine.
long microsecondsPerSave(const StoreLocations& locations) {
  platform::testing::FakeClock clock(kNoon);
  const BlockingRuleStore store(locations, clock);
  const auto start = steady_clock::now();
  for (int i = 0; i < 10; ++i) (void)store.save(decodeBlockingRules(recordBytes(4)).value());
  return duration_cast<microseconds>(steady_clock::now() - start).count() / 10;
}

TEST(CrashConsistency, AKilledSaveLeavesThePreviousRecordTheNewOneOrTheDocumentedEmptyFile) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "one thread in each process: the thread sanitizer would only make it slower";
#endif
  support::TempDir dir;
  const StoreLocations locations = StoreLocations::at(dir / "Shared", std::nullopt);
  const fs::path rules = locations.sharedRulesFile;
  void* shared =
      ::mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  Progress& progress = *new (shared) Progress();
  const unsigned seed = std::random_device()();
  std::mt19937 random(seed);
  // Kills spread over the save that began and the next one, wherever the time goes.
  const long window = std::max(2 * microsecondsPerSave(locations), 100L);
  struct stat lock {};
  ASSERT_EQ(::lstat(platform::lockFilePath(rules).c_str(), &lock), 0);
  const ino_t lockInode = lock.st_ino;
  Tally tally;
  int temporaryFiles = 0;
  long first = 1;
  for (int kill = 0; kill < kKills; ++kill) {
    // Every fourth round starts without a file, where the store first creates an empty one.
    if (kill % 4 == 0) fs::remove(rules);
    const std::string before = readFile(rules);
    progress.started = progress.finished = first - 1;
    int ping[2];
    ASSERT_EQ(::pipe(ping), 0);
    const pid_t saver = ::fork();
    if (saver == 0) {  // with a umask that would show a file left with the wrong mode
      ::umask(077);
      ::alarm(20);
      platform::testing::FakeClock clock(kNoon);
      const BlockingRuleStore store(locations, clock);
      for (long k = first;; ++k) {
        progress.started = k;
        if (::write(ping[1], "", 1) != 1) ::_exit(1);
        if (!store.save(decodeBlockingRules(recordBytes(k)).value()).ok()) ::_exit(2);
        progress.finished = k;
      }
    }
    ::close(ping[1]);
    // Kill once the first or the second save has begun, within two saves' time.
    char byte;
    for (unsigned begun = 0, wanted = 1 + random() % 2; begun < wanted; ++begun) {
      if (::read(ping[0], &byte, 1) != 1) break;
    }
    std::this_thread::sleep_for(microseconds(random() % window));
    ::kill(saver, SIGKILL);
    int status = 0;
    ::waitpid(saver, &status, 0);
    ::close(ping[0]);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the saver ended itself";

    ASSERT_EQ(inspect(rules, before, first, progress, tally), "")
        << "kill " << kill << ", seed " << seed;
    // Beside it only its lock file, never replaced, and the temporary files of writes cut short.
    for (const fs::directory_entry& entry : fs::directory_iterator(rules.parent_path())) {
      const std::string name = entry.path().filename().native();
      if (entry.path() == rules || entry.path() == platform::lockFilePath(rules)) continue;
      ASSERT_TRUE(name.starts_with("." + rules.filename().native()) && name.ends_with(".tmp"))
          << name;
      ++temporaryFiles;
      fs::remove(entry.path());
    }
    ASSERT_EQ(::lstat(platform::lockFilePath(rules).c_str(), &lock), 0);
    ASSERT_EQ(lock.st_ino, lockInode) << "the lock file was replaced";
    first = progress.started + 1;
  }
  std::printf(
      "%d kills during %ld saves of %ld us: %d previous, %d new record; %d temporary "
      "files left\n",
      kKills, first - 1, window / 2, tally.previous, tally.next, temporaryFiles);
  // The kills must have landed on both sides of the replacement to prove anything.
  EXPECT_GT(tally.previous, 0);
  EXPECT_GT(tally.next, 0);
  ::munmap(shared, sizeof(Progress));
}

}  // namespace
}  // namespace varn::reliability
