#include "platform/file_coordination.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/testing/lock_holding_child.h"
#include "platform/testing/temp_dir.h"

namespace varn::platform {
namespace {

namespace fs = std::filesystem;
using testing::LockHoldingChild;
using testing::TempDir;

TEST(FileCoordination, AWriterWaitsForAnotherProcessesReader) {
  TempDir dir;
  LockHoldingChild reader(dir / "rules.json", LOCK_SH);
  ASSERT_TRUE(reader.held());

  std::atomic<bool> wrote{false};
  std::thread writer([&] {
    Status s = coordinateWriting(dir / "rules.json", [&](const fs::path&) { wrote = true; });
    EXPECT_TRUE(s.ok());
  });
  // Cannot fail falsely: the writer must still be waiting while the child holds the lock.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(wrote.load());
  reader.letGo();
  writer.join();
  EXPECT_TRUE(wrote.load());
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
  testing::writeFile(dir / "outside" / "file", "x");
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
