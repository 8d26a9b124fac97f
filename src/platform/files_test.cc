#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace varn::platform {
namespace {

namespace fs = std::filesystem;
using support::readFile;
using support::TempDir;
using support::writeFile;

TEST(ReadWholeFile, ReadsRegularFilesAndFilesBehindLinks) {
  TempDir dir;
  writeFile(dir / "a", "hello");
  fs::create_symlink(dir / "a", dir / "link");
  for (const char* name : {"a", "link"}) {
    Result<std::string> r = readWholeFile(dir / name, 100);
    ASSERT_TRUE(r.ok()) << name << ": " << r.error().message;
    EXPECT_EQ(r.value(), "hello");
  }
}

TEST(ReadWholeFile, RefusesWhatIsNotASmallRegularFileWithoutBlocking) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  fs::create_directory(dir / "folder");
  fs::create_symlink("/dev/zero", dir / "zero");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  writeFile(dir / "big", std::string(101, 'x'));
  const struct {
    const char* name;
    const char* expectInMessage;
  } cases[] = {
      {"fifo", "not a regular file"},
      {"folder", "Is a directory"},
      {"zero", "not a regular file"},
      {"dangling", "No such file"},
      {"big", "larger than the 100 bytes limit"},
      {"missing", "No such file"},
  };
  for (const auto& c : cases) {
    Result<std::string> r = readWholeFile(dir / c.name, 100);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_NE(r.error().message.find(c.expectInMessage), std::string::npos)
        << c.name << ": " << r.error().message;
  }
}

TEST(ReadWholeFile, ReadsFilesUpToExactlyTheCap) {
  TempDir dir;
  for (size_t size : {0, 1, 99, 100}) {
    writeFile(dir / "f", std::string(size, 'x'));
    Result<std::string> r = readWholeFile(dir / "f", 100);
    ASSERT_TRUE(r.ok()) << size << ": " << r.error().message;
    EXPECT_EQ(r.value().size(), size);
  }
}

TEST(ReadWholeFile, NamesTheCapInMebibytes) {
  TempDir dir;
  writeFile(dir / "big", std::string(kRulesFileSizeLimit + 1, ' '));
  Result<std::string> r = readWholeFile(dir / "big", kRulesFileSizeLimit);
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error().message.find("1 MiB limit"), std::string::npos) << r.error().message;
  EXPECT_TRUE(readWholeFile(dir / "big", kUserDataFileSizeLimit).ok());
}

TEST(WriteFileAtomically, ReplacesContentWithMode0644AndLeavesNoTemporaryFile) {
  TempDir dir;
  writeFile(dir / "f", "old");
  const mode_t previous = ::umask(077);
  Status s = writeFileAtomically(dir / "f", "new");
  ::umask(previous);
  ASSERT_TRUE(s.ok()) << s.error().message;
  EXPECT_EQ(readFile(dir / "f"), "new");
  EXPECT_EQ(fs::status(dir / "f").permissions(), fs::perms(0644));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(WriteFileAtomically, ReplacesALinkInsteadOfWritingThroughIt) {
  TempDir dir;
  fs::create_directory(dir / "outside");
  writeFile(dir / "outside" / "target", "precious");
  fs::create_symlink(dir / "outside" / "target", dir / "f");
  ASSERT_TRUE(writeFileAtomically(dir / "f", "new").ok());
  EXPECT_FALSE(fs::is_symlink(dir / "f"));
  EXPECT_EQ(readFile(dir / "f"), "new");
  EXPECT_EQ(readFile(dir / "outside" / "target"), "precious");
}

TEST(WriteFileAtomically, FailsWithoutTouchingAFolderInTheWay) {
  TempDir dir;
  fs::create_directory(dir / "f");
  EXPECT_FALSE(writeFileAtomically(dir / "f", "new").ok());
  EXPECT_TRUE(fs::is_directory(dir / "f"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  EXPECT_FALSE(writeFileAtomically(dir / "missing-folder" / "f", "new").ok());
}

TEST(CreateFileExclusively, NeverCreatesThroughALink) {
  TempDir dir;
  fs::create_symlink(dir / "target", dir / "link");
  EXPECT_FALSE(createFileExclusively(dir / "link", 0644).ok());
  EXPECT_FALSE(fs::exists(dir / "target"));
  ASSERT_TRUE(createFileExclusively(dir / "new", 0644).ok());
  EXPECT_EQ(fs::file_size(dir / "new"), 0u);
  EXPECT_FALSE(createFileExclusively(dir / "new", 0644).ok());
}

TEST(RemoveFile, RemovesALinkButNeverItsTargetOrAFolder) {
  TempDir dir;
  writeFile(dir / "target", "x");
  fs::create_symlink(dir / "target", dir / "link");
  fs::create_directory(dir / "folder");
  EXPECT_TRUE(removeFile(dir / "link").ok());
  EXPECT_FALSE(fs::is_symlink(dir / "link"));
  EXPECT_EQ(readFile(dir / "target"), "x");
  EXPECT_FALSE(removeFile(dir / "folder").ok());
  EXPECT_TRUE(fs::is_directory(dir / "folder"));
}

}  // namespace
}  // namespace varn::platform
