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

// The child's exit status: the confinement ends with it.
int inChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int created(const fs::path& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_WRONLY | O_CLOEXEC, 0644);
  return fd < 0 ? -1 : ::close(fd);
}

TEST(ConfineWritesBeneath, RefusesEveryChangeOutsideTheTreesAndAllowsThemInside) {
  support::TempDir dir;
  const fs::path in = dir / "inside", out = dir / "outside";
  for (const fs::path& folder : {in / "sub", out / "sub"}) fs::create_directories(folder);
  for (const char* file : {"file", "victim", "leaving"}) {
    support::writeFile(in / file, "kept");
    support::writeFile(out / file, "kept");
  }
  // Each change as the helper's files see them, then a move across the boundary either way.
  using Change = std::function<int(const fs::path& at, const fs::path& other)>;
  const std::vector<std::pair<const char*, Change>> changes{
      {"write", [](auto& at, auto&) { return created(at / "file", 0); }},
      {"truncate", [](auto& at, auto&) { return ::truncate((at / "file").c_str(), 0); }},
      {"create", [](auto& at, auto&) { return created(at / "new", O_CREAT | O_EXCL); }},
      {"mkdir", [](auto& at, auto&) { return ::mkdir((at / "folder").c_str(), 0755); }},
      {"symlink", [](auto& at, auto&) { return ::symlink("/etc", (at / "link").c_str()); }},
      {"replace",
       [](auto& at, auto&) { return ::rename((at / "file").c_str(), (at / "victim").c_str()); }},
      {"unlink", [](auto& at, auto&) { return ::unlink((at / "victim").c_str()); }},
      {"rmdir", [](auto& at, auto&) { return ::rmdir((at / "sub").c_str()); }},
      {"move out",
       [](auto& at, auto& other) {
         return ::rename((at / "leaving").c_str(), (other / "moved").c_str());
       }},
  };
  const int status = inChild([&] {
    const Result<int> confined = confineWritesBeneath({in, dir / "missing"});
    const int error = confined.ok() ? 0 : confined.error().systemError;
    if (!confined.ok()) return error == ENOSYS || error == EOPNOTSUPP ? 77 : 1;
    int failures = 0;
    for (const auto& [name, change] : changes) {
      errno = 0;
      if (change(out, in) == 0 || (errno != EACCES && errno != EXDEV)) {
        (void)std::fprintf(stderr, "outside, %s: not refused (errno %d)\n", name, errno);
        ++failures;
      }
      if (change(in, in) != 0) {
        (void)std::fprintf(stderr, "inside, %s: refused (errno %d)\n", name, errno);
        ++failures;
      }
    }
    return failures;
  });
  if (status == 77) GTEST_SKIP() << "this kernel offers no Landlock";
  EXPECT_EQ(status, 0) << "see the child's lines on stderr";
  // Nothing outside changed, and the parent was never confined.
  for (const char* file : {"file", "victim", "leaving"})
    EXPECT_EQ(support::readFile(out / file), "kept");
  EXPECT_TRUE(fs::exists(out / "sub"));
  EXPECT_EQ(created(out / "new", O_CREAT | O_EXCL), 0);
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
