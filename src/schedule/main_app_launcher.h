#pragma once

#include <optional>
#include <string>

#include "platform/bundle_info.h"
#include "platform/workspace.h"

namespace varn {

// The main application's bundle identifier: the "MainAppBundleIdentifier" key when it is a
// non-empty value that does not begin with "$(", else the helper's own identifier without a
// ".helper" suffix, else the helper's own identifier; nothing when there is none.
std::optional<std::string> resolveMainAppBundleIdentifier(const platform::BundleInfo& bundle);

// Makes sure the main application runs so that it enforces a new session: does nothing when an
// instance is running, otherwise opens it in the background. Returns at once: the look-ups and
// the open run one after another on the main loop, and the outcome is logged when it is known.
// The workspace must outlive what is in flight. Keeps no state and never retries.
void launchMainApp(platform::Workspace& workspace, const platform::BundleInfo& bundle);

}  // namespace varn
