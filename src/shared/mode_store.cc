#include "shared/mode_store.h"

#include "platform/files.h"
#include "platform/log.h"

namespace varn {
namespace {

const platform::Logger& logger() {
  static const platform::Logger instance("com.varn.macos", "mode-store");
  return instance;
}

}  // namespace

std::optional<std::filesystem::path> ModeStore::modesFileURL() const {
  return locations_.containerFile("modes.json");
}

std::optional<std::vector<Mode>> ModeStore::loadModes() const {
  const std::optional<std::filesystem::path> location = modesFileURL();
  if (!location || !platform::fileExists(*location)) return std::nullopt;
  Result<std::string> bytes = platform::readWholeFile(*location, platform::kUserDataFileSizeLimit);
  if (!bytes.ok()) {
    logger().error("Failed to load modes: %{public}s", {bytes.error().message});
    return std::nullopt;
  }
  Result<std::vector<Mode>> modes = decodeModes(bytes.value());
  if (!modes.ok()) {
    logger().error("Failed to load modes: %{public}s", {modes.error().message});
    return std::nullopt;
  }
  return std::move(modes).value();
}

}  // namespace varn
