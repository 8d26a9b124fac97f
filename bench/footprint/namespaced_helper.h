#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace varn::bench {

// Whether this process may create mount namespaces (root, or CAP_SYS_ADMIN); `why` says what
// is missing otherwise.
bool canUseMountNamespaces(std::string& why);

// A VarnHelper executable started in a private mount namespace in which `usersFolder` is
// mounted on /Users, with XDG_DATA_HOME at `dataHome`, no journal (its log goes to `logFile`)
// and no reachable session bus. The zone stays the caller's (TZ, or /etc/localtime). Killed at
// the end of the scope.
class NamespacedHelper {
 public:
  NamespacedHelper(const std::filesystem::path& executable,
                   const std::filesystem::path& usersFolder, const std::filesystem::path& dataHome,
                   const std::filesystem::path& logFile);
  ~NamespacedHelper();
  NamespacedHelper(const NamespacedHelper&) = delete;
  NamespacedHelper& operator=(const NamespacedHelper&) = delete;

  pid_t pid() const { return pid_; }
  // False once the process has exited or crashed.
  bool running();

 private:
  pid_t pid_ = -1;
};

}  // namespace varn::bench
