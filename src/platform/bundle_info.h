#pragma once

#include <optional>
#include <string>

namespace varn::platform {

// The helper's bundle information, compiled in by CMake (the cache variables
// VARN_HELPER_BUNDLE_IDENTIFIER and VARN_MAIN_APP_BUNDLE_IDENTIFIER).
struct BundleInfo {
  // The helper's own bundle identifier; nothing when it has none.
  std::optional<std::string> bundleIdentifier;
  // The "MainAppBundleIdentifier" key; nothing when the key is absent.
  std::optional<std::string> mainAppBundleIdentifier;
};

const BundleInfo& mainBundleInfo();

}  // namespace varn::platform
