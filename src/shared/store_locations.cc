#include "shared/store_locations.h"

#include "platform/app_group.h"

namespace varn {

namespace {
constexpr const char* kSharedRulesFileName = "com.varn.macos.blocking-rules.json";
}

StoreLocations StoreLocations::production() {
  return StoreLocations{kSharedRulesFilePath,
                        [] { return platform::appGroupContainer(kAppGroupIdentifier); }};
}

StoreLocations StoreLocations::at(const std::filesystem::path& sharedFolder,
                                  std::optional<std::filesystem::path> container) {
  return StoreLocations{sharedFolder / kSharedRulesFileName,
                        [container = std::move(container)] { return container; }};
}

std::optional<std::filesystem::path> StoreLocations::containerFile(const char* name) const {
  std::optional<std::filesystem::path> container = appGroupContainer();
  if (!container) return std::nullopt;
  return *container / name;
}

}  // namespace varn
