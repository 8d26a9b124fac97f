#pragma once

#include <string_view>

namespace varn::platform {

// Tells the service manager about the helper's state ("READY=1", "STOPPING=1", "STATUS=...";
// several assignments separated by new lines). Does nothing when the helper was not started by
// a manager that listens (NOTIFY_SOCKET unset), and a manager that stopped listening is no
// reason to fail: the result is not reported.
void notifyServiceManager(std::string_view state);

}  // namespace varn::platform
