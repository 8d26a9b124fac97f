#include "platform/write_confinement.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/landlock.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>

#include "support/temp_dir.h"

namespace varn::platform {
namespace {

namespace fs = std::filesystem;

// The kernel's ABI, so that each check expects only what it handles; below 0 without Landlock.
int kernelAbi(std::string* why) {
  const long abi =
      ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 0) *why = std::string("this kernel offers no Landlock: ") + errnoMessage(errno);
  return static_cast<int>(abi);
}

// The child's exit status: the confinement ends with the child, whose stderr says what failed.
int inChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int failed(const char* what, int error) {
  (void)std::fprintf(stderr, "%s (errno %d)\n", what, error);
  return 1;
}

int created(const fs::path& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_WRONLY | O_CLOEXEC, 0644);
  return fd < 0 ? -1 : ::close(fd);
}

TEST(WriteConfinement, RefusesEveryChangeOutsideTheFoldersAndAllowsThemInside) {
  std::string why;
  const int abi = kernelAbi(&why);
  if (abi < 0) GTEST_SKIP() << why;
  support::TempDir dir;
  const fs::path in = dir / "inside", out = dir / "outside";
  for (const fs::path& at : {in, out}) {
    fs::create_directories(at / "sub");
    for (const char* file : {"file", "victim", "leaving"}) support::writeFile(at / file, "kept");
  }
  // Each change with the first ABI that handles it. A closed port refuses a connection with
  // ECONNREFUSED; Landlock, with EACCES.
  using Change = std::function<int(const fs::path& at, const fs::path& other)>;
  const auto tcp = [&](bool connect) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = connect ? htons(1) : 0;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto* address = reinterpret_cast<const sockaddr*>(&to);
    const int r = connect ? ::connect(fd, address, sizeof to) : ::bind(fd, address, sizeof to);
    const int error = errno;
    ::close(fd);
    errno = error;
    return r;
  };
  const std::vector<std::tuple<const char*, int, Change>> changes{
      {"write", 1, [](auto& at, auto&) { return created(at / "file", 0); }},
      {"truncate", 3, [](auto& at, auto&) { return ::truncate((at / "file").c_str(), 0); }},
      {"create", 1, [](auto& at, auto&) { return created(at / "new", O_CREAT | O_EXCL); }},
      {"mkdir", 1, [](auto& at, auto&) { return ::mkdir((at / "folder").c_str(), 0755); }},
      {"symlink", 1, [](auto& at, auto&) { return ::symlink("/etc", (at / "link").c_str()); }},
      {"replace", 1,
       [](auto& at, auto&) { return ::rename((at / "file").c_str(), (at / "victim").c_str()); }},
      {"unlink", 1, [](auto& at, auto&) { return ::unlink((at / "victim").c_str()); }},
      {"rmdir", 1, [](auto& at, auto&) { return ::rmdir((at / "sub").c_str()); }},
      {"move out", 1,
       [](auto& at, auto& other) {
         return ::rename((at / "leaving").c_str(), (other / "moved").c_str());
       }},
  };
  const int status = inChild([&] {
    const Result<WriteConfinement> confined = WriteConfinement::apply({in, dir / "missing"});
    if (!confined.ok()) return failed(confined.error().message.c_str(), 0);
    int failures = confined.value().abi() == abi ? 0 : failed("another ABI", 0);
    for (const auto& [name, since, change] : changes) {
      errno = 0;
      if (abi >= since && (change(out, in) == 0 || (errno != EACCES && errno != EXDEV))) {
        failures += failed((std::string("outside, not refused: ") + name).c_str(), errno);
      }
      if (change(in, in) != 0)
        failures += failed((std::string("inside, refused: ") + name).c_str(), errno);
    }
    for (const bool connect : {false, true}) {
      errno = 0;
      if (abi >= 4 && (tcp(connect) == 0 || errno != EACCES)) {
        failures += failed(connect ? "TCP connect not refused" : "TCP bind not refused", errno);
      }
    }
    return failures;
  });
  EXPECT_EQ(status, 0) << "see the child's lines on stderr";
  EXPECT_EQ(created(out / "new", O_CREAT | O_EXCL), 0);  // the parent was never confined
  EXPECT_EQ(tcp(false), 0);
}

// The held descriptor keeps the old folder's inode number from the new one. The test's folder is
// granted too, so that the confined child can make the folders itself.
TEST(WriteConfinement, TellsAFolderMadeOrMadeAgainSinceTheGrant) {
  std::string why;
  if (kernelAbi(&why) < 0) GTEST_SKIP() << why;
  support::TempDir dir;
  const fs::path kept = dir / "kept", remade = dir / "remade", later = dir / "later";
  fs::create_directories(kept);
  fs::create_directories(remade);
  const int status = inChild([&] {
    const Result<WriteConfinement> confined =
        WriteConfinement::apply({kept, remade, later, dir.path()});
    if (!confined.ok()) return failed(confined.error().message.c_str(), 0);
    const WriteConfinement& confinement = confined.value();
    int failures = confinement.replacedFolder() ? failed("replaced at once", 0) : 0;
    if (confinement.granted() != std::vector<fs::path>{kept, remade, dir.path()})
      failures += failed("granted", 0);
    fs::create_directories(later);
    if (confinement.replacedFolder() != later) failures += failed("made later", 0);
    fs::remove(later);
    fs::remove(remade);
    fs::create_directories(remade);
    if (confinement.replacedFolder() != remade) failures += failed("made again", 0);
    return failures;
  });
  EXPECT_EQ(status, 0) << "see the child's lines on stderr";
}

}  // namespace
}  // namespace varn::platform
