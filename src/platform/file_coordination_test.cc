#include "platform/file_coordination.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <thread>
#include <vector>

#include "support/lock_holding_child.h"
#include "support/temp_dir.h"

namespace varn::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using std::chrono::steady_clock;
using support::LockHoldingChild;

int timerCount() {
  std::ifstream in("/proc/self/timers");
  int count = 0;
  for (std::string line; std::getline(in, line);) count += line.starts_with("ID:");
  return count;
}

// Blocks every signal in the thread; a lock wait must unblock its own only while it waits.
struct MaskKeptCheck {
  MaskKeptCheck() {
    sigset_t all;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
  }
  ~MaskKeptCheck() {
    sigset_t mask;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    for (int n = SIGRTMIN; n <= SIGRTMAX; ++n) EXPECT_TRUE(::sigismember(&mask, n)) << n;
  }
};

// Each call opens its own descriptor, so writers exclude each other within one process too.
TEST(FileCoordination, AReaderSharesAndWritersWaitUntilEveryOtherHolderLetsGo) {
  support::TempDir dir;
  const int timers = timerCount();
  LockHoldingChild reader(dir / "f", LOCK_SH);
  ASSERT_TRUE(reader.held());
  bool read = false;
  EXPECT_TRUE(coordinateReading(dir / "f", [&](const fs::path&) { read = true; }).ok());
  EXPECT_TRUE(read);
  // Atomic for the thread sanitizer, which knows no flock.
  std::atomic<steady_clock::time_point> firstWriteCalledAt{};
  std::atomic<int> calling{0}, inside{0}, overlaps{0}, writes{0};
  const auto write = [&] {
    const MaskKeptCheck maskKept;
    for (int i = 0; i < 100; ++i) {
      // A take that meets the limit (a loaded machine) is tried again: exclusion is the point.
      Status taken;
      do {
        const steady_clock::time_point calledAt = steady_clock::now();
        if (i == 0) ++calling;
        taken = coordinateWriting(dir / "f", [&](auto&) {
          if (firstWriteCalledAt.load() == steady_clock::time_point{})
            firstWriteCalledAt = calledAt;
          overlaps += ++inside != 1;
          ++writes;
          std::this_thread::yield();
          --inside;
        });
      } while (!taken.ok() && taken.error().systemError == ETIMEDOUT);
      EXPECT_TRUE(taken.ok()) << taken.error().message;
    }
  };
  std::jthread a(write), b(write), c(write);
  while (calling < 3) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(firstWriteCalledAt.load(), steady_clock::time_point{});
  const auto released = steady_clock::now();
  reader.letGo();
  a.join(), b.join(), c.join();
  EXPECT_EQ(writes, 300);
  EXPECT_LT(firstWriteCalledAt.load(), released);
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(timerCount(), timers);
}

// Another user holds two locks for ever: a reader and a writer give up at the limit on two
// threads, asleep; each timer's signal reaches its own thread only, or it would interrupt poll().
TEST(FileCoordination, ALockHeldForEverIsAnErrorAtTheLimitOnEachThreadWithoutSpinning) {
  support::TempDir dir;
  const int timers = timerCount();
  fs::permissions(dir.path(), fs::perms(01777));
  LockHoldingChild exclusive(dir / "r", LOCK_EX), shared(dir / "w", LOCK_SH);
  ASSERT_TRUE(exclusive.held() && shared.held());
  Status status[2];
  std::chrono::nanoseconds elapsed[2];
  timespec cpu[2]{};
  int finished[2];
  ASSERT_EQ(::pipe(finished), 0);
  std::vector<std::thread> threads;
  for (int i : {0, 1}) {
    threads.emplace_back([&, i] {
      const MaskKeptCheck maskKept;
      const auto start = steady_clock::now();
      const auto noAccess = [](const fs::path&) { ADD_FAILURE() << "accessed without the lock"; };
      status[i] =
          i ? coordinateWriting(dir / "w", noAccess) : coordinateReading(dir / "r", noAccess);
      elapsed[i] = steady_clock::now() - start;
      ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu[i]);
      (void)!::write(finished[1], "x", 1);
    });
  }
  int waited = 0;  // a wait without bound ends only when the holders let go, below
  for (pollfd p{finished[0], POLLIN, 0}; waited < 2 && ::poll(&p, 1, 10'000) == 1; ++waited) {
    (void)!::read(finished[0], &p.revents, 1);
  }
  EXPECT_EQ(waited, 2) << "a stray signal interrupted poll(), or a wait has no bound";
  exclusive.letGo();
  shared.letGo();
  for (auto& t : threads) t.join();
  EXPECT_EQ(timerCount(), timers);
  for (int i : {0, 1}) {
    ASSERT_FALSE(status[i].ok()) << i;
    EXPECT_EQ(status[i].error().systemError, ETIMEDOUT) << status[i].error().message;
    EXPECT_NE(status[i].error().message.find("not granted within 3 s"), std::string::npos);
    EXPECT_TRUE(elapsed[i] >= kLockWaitLimit && elapsed[i] < kLockWaitLimit + 2s) << i;
    EXPECT_TRUE(cpu[i].tv_sec == 0 && cpu[i].tv_nsec < 100'000'000) << i;
  }
  int ran = 0;
  const auto run = [&](auto&) { ++ran; };
  EXPECT_TRUE(coordinateWriting(dir / "free", run, steady_clock::now()).ok());
  LockHoldingChild again(dir / "w", LOCK_SH);
  EXPECT_FALSE(coordinateWriting(dir / "w", run, steady_clock::now()).ok());
  EXPECT_EQ(ran, 1);
}

TEST(FileCoordination, CreatesAMissingLockFileWithMode0644AndRefusesAHostileOne) {
  support::TempDir dir;
  const mode_t previous = ::umask(077);
  EXPECT_TRUE(coordinateReading(dir / "f", [](auto&) {}).ok());
  ::umask(previous);
  EXPECT_EQ(fs::symlink_status(dir / "f.lock").permissions(), fs::perms(0644));
  EXPECT_FALSE(fs::exists(dir / "f"));
  support::writeFile(dir / "file", "x");
  fs::create_symlink(dir / "planted", dir / "dangling.lock");
  fs::create_symlink(dir / "file", dir / "link.lock");
  ASSERT_EQ(::mkfifo((dir / "fifo.lock").c_str(), 0644), 0);
  fs::create_directory(dir / "folder.lock");
  for (const char* name : {"dangling", "link", "fifo", "folder"}) {
    EXPECT_FALSE(coordinateWriting(dir / name, [&](auto&) { ADD_FAILURE() << name; }).ok()) << name;
  }
  EXPECT_FALSE(fs::exists(dir / "planted"));
}

}  // namespace
}  // namespace varn::platform
