#include "shared/mode_store.h"

#include "platform/log.h"
#include "shared/user_data_file.h"

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
  return loadUserDataFile(modesFileURL(), &decodeModes, logger(),
                          "Failed to load modes: %{public}s");
}

Result<std::optional<std::vector<Mode>>> ModeStore::readModes() const {
  return readUserDataFile(modesFileURL(), &decodeModes);
}

}  // namespace varn
