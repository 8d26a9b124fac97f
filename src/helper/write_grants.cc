#include "helper/write_grants.h"

#include "platform/files.h"
#include "platform/log.h"

namespace varn {

std::vector<std::filesystem::path> prepareWriteGrants(const StoreLocations& locations) {
  std::vector<std::filesystem::path> grants;
  const std::filesystem::path sharedParent = locations.sharedRulesFile.parent_path().parent_path();
  if (sharedParent.has_relative_path()) grants.push_back(sharedParent);
  if (const auto container = locations.appGroupContainer()) {
    if (const Status made = platform::createDirectories(*container, 0700); !made.ok()) {
      const platform::Logger log("com.varn.macos", "helper");
      log.error("Failed to create the app group folder: %{public}s", {made.error().message});
    }
    grants.push_back(*container);
  }
  return grants;
}

}  // namespace varn
