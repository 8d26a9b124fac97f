#include "platform/write_confinement.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/unique_fd.h"

// Newer than the kernel headers of some distributions; the values are the kernel's ABI.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif

namespace varn::platform {
namespace {

// glibc has no wrappers for the Landlock calls.
int createRuleset(const landlock_ruleset_attr* attributes, size_t size, uint32_t flags) {
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
  if (abi >= 3) rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
  return rights;
}

Error failure(const std::string& what, int error) {
  return Error{what + ": " + errnoMessage(error), error};
}

}  // namespace

Result<int> confineWritesBeneath(const std::vector<std::filesystem::path>& trees) {
  const int abi = createRuleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 0) {
    // ENOSYS: a kernel built without it; EOPNOTSUPP: built in but not enabled at boot.
    return failure("Landlock is not available", errno);
  }
  const landlock_ruleset_attr attributes{.handled_access_fs = writeRights(abi)};
  UniqueFd ruleset(createRuleset(&attributes, sizeof attributes, 0));
  if (!ruleset) return failure("landlock_create_ruleset", errno);

  int granted = 0;
  for (const std::filesystem::path& tree : trees) {
    UniqueFd folder(::open(tree.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder) continue;  // a tree that is gone is simply not writable
    const landlock_path_beneath_attr rule{.allowed_access = attributes.handled_access_fs,
                                          .parent_fd = folder.get()};
    if (addRule(ruleset.get(), &rule) != 0) return failure("landlock_add_rule", errno);
    ++granted;
  }
  // An empty list asks for no writes anywhere; a list none of whose folders opened is a mistake.
  if (granted == 0 && !trees.empty()) {
    return failure("no folder to allow writes beneath could be opened", ENOENT);
  }
  // Required of a process without CAP_SYS_ADMIN, so that it cannot hand a confined program
  // more privilege through a set-user-ID one; the helper runs none anyway.
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return failure("PR_SET_NO_NEW_PRIVS", errno);
  if (restrictSelf(ruleset.get()) != 0) return failure("landlock_restrict_self", errno);
  return abi;
}

std::filesystem::path nearestExistingFolder(const std::filesystem::path& path) {
  std::filesystem::path folder = path;
  std::error_code error;
  while (!std::filesystem::is_directory(folder, error) && folder.has_relative_path()) {
    folder = folder.parent_path();
  }
  return folder;
}

}  // namespace varn::platform
