#include "platform/file_coordination.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "platform/result.h"
#include "support/lock_holding_child.h"
#include "support/temp_dir.h"

namespace varn::platform {
namespace {

namespace fs = std::filesystem;
using std::chrono::steady_clock;
using support::LockHoldingChild;
using support::TempDir;

std::chrono::nanoseconds threadCpuTime() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

TEST(FileCoordination, AWriterWaitsForAnotherProcessesReaderAndTakesTheLockOnceReleased) {
  TempDir dir;
  LockHoldingChild reader(dir / "rules.json", LOCK_SH);
  ASSERT_TRUE(reader.held());

  std::atomic<bool> wrote{false};
  steady_clock::time_point wroteAt;
  std::thread writer([&] {
    Status s = coordinateWriting(dir / "rules.json", [&](const fs::path&) {
      wroteAt = steady_clock::now();
      wrote = true;
    });
    EXPECT_TRUE(s.ok()) << s.error().message;
  });
  // Cannot fail falsely: the writer must still be waiting while the child holds the lock.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(wrote.load());
  const auto released = steady_clock::now();
  reader.letGo();
  writer.join();
  ASSERT_TRUE(wrote.load());
  // Woken by the release itself, not by a poll or by the end of the wait.
  EXPECT_LT(wroteAt - released, std::chrono::milliseconds(500));
}

// Another user, in a sticky world-writable folder, holds one file's lock exclusively and another's
// shared, for ever. A reader of the first and a writer of the second wait at the same time on two
// threads: each gives up at the limit, asleep all along, and each timer's signal reaches its own
// thread only. This thread meanwhile blocks in read(), which a stray signal would interrupt.
TEST(FileCoordination, ALockHeldForEverIsACoordinationErrorAtTheLimitWithoutSpinning) {
  TempDir dir;
  fs::permissions(dir.path(), fs::perms(01777));
  LockHoldingChild exclusive(dir / "read.json", LOCK_EX);
  LockHoldingChild shared(dir / "write.json", LOCK_SH);
  ASSERT_TRUE(exclusive.held() && shared.held());
  struct Wait {
    fs::path file;
    bool writing;
    Status status;
    bool ran = false;
    std::chrono::nanoseconds elapsed{}, cpu{};
  } waits[] = {{dir / "read.json", false, {}}, {dir / "write.json", true, {}}};
  int finished[2];
  ASSERT_EQ(::pipe(finished), 0);

  std::vector<std::thread> threads;
  for (Wait& w : waits) {
    threads.emplace_back([&w, &finished] {
      const auto start = steady_clock::now();
      const auto cpuStart = threadCpuTime();
      const FileAccessor accessor = [&](const fs::path&) { w.ran = true; };
      w.status =
          w.writing ? coordinateWriting(w.file, accessor) : coordinateReading(w.file, accessor);
      w.cpu = threadCpuTime() - cpuStart;
      w.elapsed = steady_clock::now() - start;
      (void)!::write(finished[1], "x", 1);
    });
  }
  char c;
  const ssize_t got = ::read(finished[0], &c, 1);
  const int readError = errno;
  for (auto& t : threads) t.join();
  ::close(finished[0]);
  ::close(finished[1]);

  EXPECT_EQ(got, 1) << errnoMessage(readError);
  for (const Wait& w : waits) {
    const char* which = w.writing ? "writer" : "reader";
    ASSERT_FALSE(w.status.ok()) << which;
    EXPECT_EQ(w.status.error().systemError, ETIMEDOUT) << which << ": " << w.status.error().message;
    EXPECT_NE(w.status.error().message.find("not granted within 3 s"), std::string::npos)
        << w.status.error().message;
    EXPECT_FALSE(w.ran) << which;
    EXPECT_GE(w.elapsed, kLockWaitLimit) << which;
    EXPECT_LT(w.elapsed, kLockWaitLimit + std::chrono::seconds(2)) << which;
    EXPECT_LT(w.cpu, std::chrono::milliseconds(100)) << which;
  }
}

TEST(FileCoordination, ReadersShareTheLock) {
  TempDir dir;
  LockHoldingChild reader(dir / "rules.json", LOCK_SH);
  ASSERT_TRUE(reader.held());
  bool ran = false;
  EXPECT_TRUE(coordinateReading(dir / "rules.json", [&](const fs::path&) { ran = true; }).ok());
  EXPECT_TRUE(ran);
}

TEST(FileCoordination, WritersOfOneProcessExcludeEachOther) {
  TempDir dir;
  // Atomic only so that the thread sanitizer, which does not know flock, stays quiet; the lock
  // is what must keep `inside` at one.
  std::atomic<int> inside{0}, overlaps{0};
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        (void)coordinateWriting(dir / "f", [&](const fs::path&) {
          if (++inside != 1) ++overlaps;
          std::this_thread::yield();
          --inside;
        });
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(overlaps, 0);
}

TEST(FileCoordination, CreatesTheLockFileWithMode0644) {
  TempDir dir;
  const mode_t previous = ::umask(077);
  Status s = coordinateReading(dir / "f", [](const fs::path&) {});
  ::umask(previous);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(fs::symlink_status(dir / "f.lock").permissions(), fs::perms(0644));
  EXPECT_FALSE(fs::exists(dir / "f"));
}

TEST(FileCoordination, AHostileLockPathIsACoordinationErrorAndTheAccessorDoesNotRun) {
  TempDir dir;
  fs::create_directory(dir / "outside");
  fs::create_symlink(dir / "outside" / "planted", dir / "dangling.lock");
  support::writeFile(dir / "outside" / "file", "x");
  fs::create_symlink(dir / "outside" / "file", dir / "link.lock");
  ASSERT_EQ(::mkfifo((dir / "fifo.lock").c_str(), 0644), 0);
  fs::create_directory(dir / "folder.lock");
  for (const char* name : {"dangling", "link", "fifo", "folder"}) {
    bool ran = false;
    Status s = coordinateWriting(dir / name, [&](const fs::path&) { ran = true; });
    EXPECT_FALSE(s.ok()) << name;
    EXPECT_FALSE(ran) << name;
  }
  EXPECT_FALSE(fs::exists(dir / "outside" / "planted"));
}

}  // namespace
}  // namespace varn::platform
