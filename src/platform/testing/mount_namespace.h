#pragma once

#include <string>

namespace varn::platform::testing {

// Whether this process may create mount namespaces (root, or CAP_SYS_ADMIN), asked of a forked
// child so that the caller stays where it is; `why` says why not. Tests that mount skip
// otherwise.
bool mountNamespacesPermitted(std::string* why);

}  // namespace varn::platform::testing
