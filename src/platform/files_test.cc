#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <thread>

#include "support/temp_dir.h"

namespace varn::platform {
namespace {

namespace fs = std::filesystem;
using support::readFile;
using support::TempDir;
using support::writeFile;

auto entries(const fs::path& folder) { return std::distance(fs::directory_iterator(folder), {}); }

// Whatever a hostile user plants at a path, a read neither blocks nor reads past the limit.
TEST(ReadWholeFile, ReadsOnlyARegularFileWithinTheLimit) {
  TempDir dir;
  writeFile(dir / "small", "hello");
  fs::create_symlink(dir / "small", dir / "link");
  writeFile(dir / "big", std::string(kRulesFileSizeLimit + 1, 'x'));
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  fs::create_directory(dir / "folder");
  fs::create_symlink("/dev/zero", dir / "zero");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  for (const auto& [name, limit, result] :
       {std::tuple{"small", 5, "=hello"},  // exactly the limit
        {"link", 100, "=hello"},
        {"small", 4, "larger than the 4 bytes limit"},
        {"big", int{kRulesFileSizeLimit}, "larger than the 1 MiB limit"},
        {"fifo", 100, "not a regular file"},
        {"zero", 100, "not a regular file"},
        {"folder", 100, "Is a directory"},
        {"dangling", 100, "No such file"},
        {"missing", 100, "No such file"}}) {
    Result<std::string> r = readWholeFile(dir / name, limit);
    const std::string got = r.ok() ? "=" + r.value() : r.error().message;
    EXPECT_NE(got.find(result), std::string::npos) << name << " " << limit << ": " << got;
  }
}

TEST(WriteFileAtomically, ReplacesALinkWithMode0644AndLeavesNoTemporaryFile) {
  TempDir dir;
  fs::create_directory(dir / "outside");
  writeFile(dir / "outside" / "target", "precious");
  fs::create_symlink(dir / "outside" / "target", dir / "f");
  const mode_t previous = ::umask(077);
  Status s = writeFileAtomically(dir / "f", "new");
  ::umask(previous);
  ASSERT_TRUE(s.ok()) << s.error().message;
  EXPECT_FALSE(fs::is_symlink(dir / "f"));
  EXPECT_EQ(readFile(dir / "f"), "new");
  EXPECT_EQ(fs::status(dir / "f").permissions(), fs::perms(0644));
  EXPECT_EQ(readFile(dir / "outside" / "target"), "precious");
  // A folder in the way, or no folder at all: nothing changes, nothing is left behind.
  fs::create_directory(dir / "folder");
  EXPECT_FALSE(writeFileAtomically(dir / "folder", "new").ok());
  EXPECT_FALSE(writeFileAtomically(dir / "missing" / "f", "new").ok());
  EXPECT_EQ(entries(dir.path()), 3);
  EXPECT_EQ(entries(dir / "folder"), 0);
}

// The main application reads the rules file whenever it likes: it must never find it half-written.
TEST(WriteFileAtomically, AConcurrentReaderSeesOnlyWholeContents) {
  TempDir dir;
  const std::string a(64 << 10, 'a'), b(64 << 10, 'b');
  writeFile(dir / "f", a);
  std::atomic<bool> done{false};
  std::jthread writer([&] {
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(writeFileAtomically(dir / "f", i % 2 ? a : b).ok());
    done = true;
  });
  while (!done) {
    const Result<std::string> r = readWholeFile(dir / "f", kRulesFileSizeLimit);
    ASSERT_TRUE(r.ok() && (r.value() == a || r.value() == b)) << (r.ok() ? r.value().size() : 0);
  }
}

// As on a full disk: the file size limit cuts the write half-way.
TEST(WriteFileAtomically, AWriteThatFailsHalfWayKeepsWhatWasThere) {
  TempDir dir;
  writeFile(dir / "f", "old");
  rlimit previous{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
  const rlimit limit{4096, previous.rlim_max};
  const auto handler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  const Status s = writeFileAtomically(dir / "f", std::string(8192, 'x'));
  (void)::setrlimit(RLIMIT_FSIZE, &previous);
  (void)::signal(SIGXFSZ, handler);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().systemError, EFBIG) << s.error().message;
  EXPECT_EQ(readFile(dir / "f"), "old");
  EXPECT_EQ(entries(dir.path()), 1);
}

TEST(Files, CreateAndRemoveNeverActThroughALink) {
  TempDir dir;
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  EXPECT_FALSE(createFileExclusively(dir / "dangling", 0644).ok());
  ASSERT_TRUE(createFileExclusively(dir / "new", 0600).ok());
  EXPECT_EQ(fs::status(dir / "new").permissions(), fs::perms(0600));
  EXPECT_TRUE(removeFile(dir / "dangling").ok() && fs::exists(dir / "new"));
  EXPECT_FALSE(removeFile(dir / "missing").ok() || fs::exists(dir / "nowhere"));
}

}  // namespace
}  // namespace varn::platform
