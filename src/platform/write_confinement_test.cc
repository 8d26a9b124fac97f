#include "platform/write_confinement.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>

#include "support/temp_dir.h"

namespace varn::platform {
namespace {

namespace fs = std::filesystem;

// Runs `body` in a forked child, whose confinement ends with it; the child's exit status.
int inChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int createFile(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  ::close(fd);
  return 0;
}

int openForWriting(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ::close(fd);
  return 0;
}

TEST(ConfineWritesBeneath, RefusesEveryChangeOutsideTheTreesAndAllowsThemInside) {
  support::TempDir dir;
  for (const char* folder : {"inside/later", "outside/sub"}) fs::create_directories(dir / folder);
  for (const char* file : {"inside/file", "outside/file", "outside/victim"}) {
    support::writeFile(dir / file, "kept");
  }
  const fs::path in = dir / "inside", out = dir / "outside";

  // Each change, outside (refused) and inside (done), with the errno a refusal must give.
  using Change = std::function<int(const fs::path& folder)>;
  const std::vector<std::tuple<const char*, Change, int>> changes{
      {"open an existing file for writing", [](auto& f) { return openForWriting(f / "file"); },
       EACCES},
      {"truncate", [](auto& f) { return ::truncate((f / "file").c_str(), 0); }, EACCES},
      {"create a file", [](auto& f) { return createFile(f / "new"); }, EACCES},
      {"make a folder", [](auto& f) { return ::mkdir((f / "folder").c_str(), 0755); }, EACCES},
      {"make a link", [](auto& f) { return ::symlink("/etc", (f / "link").c_str()); }, EACCES},
      {"rename over a file (the atomic replacement)",
       [](auto& f) { return ::rename((f / "file").c_str(), (f / "victim").c_str()); }, EACCES},
      {"remove a file", [](auto& f) { return ::unlink((f / "victim").c_str()); }, EACCES},
      {"remove a folder", [](auto& f) { return ::rmdir((f / "sub").c_str()); }, EACCES},
  };
  const int status = inChild([&] {
    const Result<int> confined = confineWritesBeneath({in, dir / "missing"});
    if (!confined.ok()) {
      std::fprintf(stderr, "%s\n", confined.error().message.c_str());
      return confined.error().systemError == ENOSYS || confined.error().systemError == EOPNOTSUPP
                 ? 77
                 : 1;
    }
    int failures = 0;
    for (const auto& [name, change, refusal] : changes) {
      errno = 0;
      if (change(out) == 0 || errno != refusal) {
        std::fprintf(stderr, "outside, %s: not refused with %d (errno %d)\n", name, refusal, errno);
        ++failures;
      }
      if (name == std::string_view("remove a folder")) continue;  // inside has no "sub"
      support::writeFile(in / "victim", "");
      if (change(in) != 0) {
        std::fprintf(stderr, "inside, %s: refused (errno %d)\n", name, errno);
        ++failures;
      }
    }
    // Moving a file across the boundary either way.
    support::writeFile(in / "leaving", "");
    for (const auto& [from, to] :
         {std::pair{in / "leaving", out / "moved"}, std::pair{out / "file", in / "later/moved"}}) {
      if (::rename(from.c_str(), to.c_str()) == 0 || (errno != EXDEV && errno != EACCES)) {
        std::fprintf(stderr, "rename %s: not refused (errno %d)\n", from.c_str(), errno);
        ++failures;
      }
    }
    return failures == 0 ? 0 : 2;
  });
  if (status == 77) GTEST_SKIP() << "this kernel offers no Landlock";
  EXPECT_EQ(status, 0) << "see the child's lines on stderr";
  // The parent was never confined, and nothing outside was changed.
  EXPECT_EQ(support::readFile(out / "file"), "kept");
  EXPECT_EQ(support::readFile(out / "victim"), "kept");
  EXPECT_FALSE(fs::exists(out / "new"));
  EXPECT_TRUE(fs::exists(out / "sub"));
}

TEST(ConfineWritesBeneath, WithoutAnyFolderToGrantConfinesNothing) {
  support::TempDir dir;
  const int status = inChild([&] {
    const Result<int> confined = confineWritesBeneath({dir / "missing"});
    return !confined.ok() && createFile(dir / "new") == 0 ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
}

TEST(NearestExistingFolder, IsThePathOrItsClosestAncestorThatIsAFolder) {
  support::TempDir dir;
  fs::create_directories(dir / "a/b");
  support::writeFile(dir / "a/file", "");
  for (const auto& [path, expected] : std::vector<std::pair<fs::path, fs::path>>{
           {dir / "a/b", dir / "a/b"},
           {dir / "a/b/c/d", dir / "a/b"},
           {dir / "a/file/c", dir / "a"},  // a file on the way is no folder to grant
           {"/", "/"}}) {
    EXPECT_EQ(nearestExistingFolder(path), expected) << path;
  }
}

}  // namespace
}  // namespace varn::platform
