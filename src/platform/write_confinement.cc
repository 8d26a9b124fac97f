#include "platform/write_confinement.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace varn::platform {
namespace {

// The kernel's ABI, which grew after the headers of some distributions (Debian 12's know
// ABI 2): the rights and the ruleset's fields are spelled out here as the kernel defines them.
constexpr uint64_t kTruncate = 1ULL << 14;   // ABI 3
constexpr uint64_t kBindTcp = 1ULL << 0;     // ABI 4
constexpr uint64_t kConnectTcp = 1ULL << 1;  // ABI 4
struct RulesetAttributes {
  uint64_t handledAccessFs;
  uint64_t handledAccessNet;  // ABI 4; the kernel reads it only when the size given covers it
};

// glibc has no wrappers for the Landlock calls.
int createRuleset(const RulesetAttributes* attributes, size_t size, uint32_t flags) {
  return static_cast<int>(::syscall(SYS_landlock_create_ruleset, attributes, size, flags));
}
int addRule(int ruleset, const landlock_path_beneath_attr* rule) {
  return static_cast<int>(
      ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, rule, 0));
}
int restrictSelf(int ruleset) {
  return static_cast<int>(::syscall(SYS_landlock_restrict_self, ruleset, 0));
}

// Every right that changes the file system, as far as the kernel's ABI knows them. Reading and
// executing are never handled, so they stay allowed everywhere.
uint64_t writeRights(int abi) {
  uint64_t rights = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                    LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
                    LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                    LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
                    LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
  // ABI 2: moving or linking a file into another folder; ABI 3: truncating without opening
  // for writing.
  if (abi >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) rights |= kTruncate;
  return rights;
}

Error failure(const std::string& what, int error) {
  return Error{what + ": " + errnoMessage(error), error};
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

Result<WriteConfinement> WriteConfinement::apply(
    const std::vector<std::filesystem::path>& folders) {
  const int abi = createRuleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 0) {
    // ENOSYS: a kernel built without it; EOPNOTSUPP: built in but not enabled at boot.
    return failure("Landlock is not available", errno);
  }
  // Nothing is left allowed on the network: the helper binds and connects no TCP socket.
  const RulesetAttributes attributes{writeRights(abi), abi >= 4 ? kBindTcp | kConnectTcp : 0};
  const size_t size = abi >= 4 ? sizeof attributes : sizeof attributes.handledAccessFs;
  UniqueFd ruleset(createRuleset(&attributes, size, 0));
  if (!ruleset) return failure("landlock_create_ruleset", errno);

  WriteConfinement confinement;
  confinement.abi_ = abi;
  bool anyGranted = false;
  for (const std::filesystem::path& folder : folders) {
    UniqueFd fd(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (fd) {
      const landlock_path_beneath_attr rule{.allowed_access = attributes.handledAccessFs,
                                            .parent_fd = fd.get()};
      if (addRule(ruleset.get(), &rule) != 0) return failure("landlock_add_rule", errno);
      anyGranted = true;
    }
    confinement.folders_.emplace_back(folder, std::move(fd));
  }
  if (!folders.empty() && !anyGranted) {
    return failure("no folder to allow writes beneath could be opened", ENOENT);
  }
  // Required of a process without CAP_SYS_ADMIN, so that it cannot hand a confined program
  // more privilege through a set-user-ID one; the helper runs none anyway.
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return failure("PR_SET_NO_NEW_PRIVS", errno);
  if (restrictSelf(ruleset.get()) != 0) return failure("landlock_restrict_self", errno);
  return confinement;
}

std::vector<std::filesystem::path> WriteConfinement::granted() const {
  std::vector<std::filesystem::path> paths;
  for (const auto& [path, fd] : folders_) {
    if (fd) paths.push_back(path);
  }
  return paths;
}

std::optional<std::filesystem::path> WriteConfinement::replacedFolder() const {
  for (const auto& [path, fd] : folders_) {
    struct stat now {};
    if (::stat(path.c_str(), &now) != 0 || !S_ISDIR(now.st_mode)) continue;  // nothing there
    struct stat granted {};
    if (!fd || (::fstat(fd.get(), &granted) == 0 && !sameFile(now, granted))) return path;
  }
  return std::nullopt;
}

}  // namespace varn::platform
