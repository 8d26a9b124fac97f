#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

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
  // The contents ("=" first), or a part of the error message.
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
