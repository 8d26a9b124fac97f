#pragma once

#include <filesystem>
#include <functional>
#include <optional>

namespace varn {

// Where the stores find their files. Production uses the fixed locations; tests point both at
// temporary folders.
struct StoreLocations {
  // The shared rules file: "/Users/Shared/com.varn.macos.blocking-rules.json".
  std::filesystem::path sharedRulesFile;
  // The app group container "group.com.varn.macos", or nothing when the platform has none.
  // Called afresh on every store operation.
  std::function<std::optional<std::filesystem::path>()> appGroupContainer;

  static StoreLocations production();
  // For tests: the shared file inside `sharedFolder`, and a fixed container (or none).
  static StoreLocations at(const std::filesystem::path& sharedFolder,
                           std::optional<std::filesystem::path> container);

  // `name` inside the container, or nothing without a container.
  std::optional<std::filesystem::path> containerFile(const char* name) const;
};

inline constexpr const char* kSharedRulesFilePath =
    "/Users/Shared/com.varn.macos.blocking-rules.json";
inline constexpr const char* kAppGroupIdentifier = "group.com.varn.macos";

}  // namespace varn
