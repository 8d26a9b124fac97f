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

// What the kernel offers, so that each check expects only what its ABI handles; nothing where
// the kernel has no Landlock (the reason then goes to `why`).
int kernelAbi(std::string* why) {
  const long abi =
      ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 0) *why = std::string("this kernel offers no Landlock: ") + errnoMessage(errno);
  return static_cast<int>(abi);
}

// The child's exit status: the confinement ends with it. The child's lines on stderr say what
// failed.
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

sockaddr_in loopbackPort(in_port_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = port;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
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
  for (const fs::path& folder : {in / "sub", out / "sub"}) fs::create_directories(folder);
  for (const char* file : {"file", "victim", "leaving"}) {
    support::writeFile(in / file, "kept");
    support::writeFile(out / file, "kept");
  }
  // Each change as the helper's files see them, a move across the boundary, and the network;
  // each with the first ABI that handles it. Connecting to a closed port is refused with
  // ECONNREFUSED, and with EACCES where it is not allowed at all.
  using Change = std::function<int(const fs::path& at, const fs::path& other)>;
  const auto tcp = [&](bool connect) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = loopbackPort(connect ? htons(1) : 0);
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
  // Nothing outside changed (but for truncation before ABI 3), and the parent was never
  // confined.
  EXPECT_EQ(support::readFile(out / "file"), abi >= 3 ? "kept" : "");
  for (const char* file : {"victim", "leaving"}) EXPECT_EQ(support::readFile(out / file), "kept");
  EXPECT_TRUE(fs::exists(out / "sub"));
  EXPECT_EQ(created(out / "new", O_CREAT | O_EXCL), 0);
  EXPECT_EQ(tcp(false), 0);
}

// The folder is removed and made again by another process, as the main application or the
// user would. The grant stays on the old folder, whose inode number the held descriptor keeps
// from the new one.
TEST(WriteConfinement, TellsAFolderMadeOrMadeAgainSinceTheGrant) {
  std::string why;
  if (kernelAbi(&why) < 0) GTEST_SKIP() << why;
  support::TempDir dir;
  const fs::path kept = dir / "kept", remade = dir / "remade", later = dir / "later";
  fs::create_directories(kept);
  fs::create_directories(remade);
  int toParent[2], toChild[2];
  ASSERT_EQ(::pipe(toParent), 0);
  ASSERT_EQ(::pipe(toChild), 0);
  char step = 0;
  const pid_t pid = ::fork();
  if (pid == 0) {
    const auto next = [&] {
      return ::write(toParent[1], "x", 1) == 1 && ::read(toChild[0], &step, 1) == 1;
    };
    const Result<WriteConfinement> confined = WriteConfinement::apply({kept, remade, later});
    if (!confined.ok()) ::_exit(failed(confined.error().message.c_str(), 0));
    const WriteConfinement& confinement = confined.value();
    int failures = confinement.replacedFolder() ? failed("replaced at once", 0) : 0;
    failures +=
        confinement.granted() == std::vector<fs::path>{kept, remade} ? 0 : failed("granted", 0);
    if (!next() || confinement.replacedFolder() != later) failures += failed("made later", 0);
    if (!next() || confinement.replacedFolder() != remade) failures += failed("made again", 0);
    if (created(remade / "file", O_CREAT | O_EXCL) == 0)
      failures += failed("new folder writable", 0);
    if (created(kept / "file", O_CREAT | O_EXCL) != 0) failures += failed("kept folder", errno);
    ::_exit(failures);
  }
  ASSERT_EQ(::read(toParent[0], &step, 1), 1);
  fs::create_directories(later);
  ASSERT_EQ(::write(toChild[1], "x", 1), 1);
  ASSERT_EQ(::read(toParent[0], &step, 1), 1);
  fs::remove(later);
  fs::remove(remade);
  fs::create_directories(remade);
  ASSERT_EQ(::write(toChild[1], "x", 1), 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  for (const int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) ::close(fd);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << "see the child's lines on stderr";
}

}  // namespace
}  // namespace varn::platform
