#pragma once

#include <filesystem>
#include <string>

namespace varn::support {

// Whether this process may create mount namespaces (root, or CAP_SYS_ADMIN), asked of a forked
// child so that the caller stays where it is; `why` says why not. Tests that mount skip
// otherwise.
bool mountNamespacesPermitted(std::string* why);
// The same, and /Users exists on the host to mount on: it is created, empty, when missing, and
// an empty /Users is all that is left behind.
bool canMountOnUsers(std::string* why);

// The calls below change mounts, so they run in a forked child or in a process that owns a
// namespace of its own; each returns "" or what failed.

// Moves the calling process into a mount namespace of its own, in which nothing it mounts is
// seen by the host, and which ends with the process. Fails once the process has threads.
std::string enterPrivateMountNamespace();
// Mounts a tmpfs on the folder `at` with `options` ("size=64k,mode=1777").
std::string mountTmpfs(const std::filesystem::path& at, const std::string& options);
// Makes the mount on `at` read-only, or writable again.
std::string setReadOnly(const std::filesystem::path& at, bool readOnly);
// Writes a file at `path` until the file system reports it full (ENOSPC).
std::string fillWithFile(const std::filesystem::path& path);

}  // namespace varn::support
