#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace varn::platform {

// The folder of an app group: "$XDG_DATA_HOME/<group>" when XDG_DATA_HOME is an absolute path,
// else "<home>/.local/share/<group>" (home: HOME when absolute, else the password database).
// Nothing only when no home can be found. Looked up afresh on every call; never created here.
std::optional<std::filesystem::path> appGroupContainer(std::string_view groupIdentifier);

}  // namespace varn::platform
