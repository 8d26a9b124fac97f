#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/uuid.h"

namespace varn {

// How a session built from a mode treats its sites and apps.
enum class ModeType { block, mission };

// A focus mode as the main application stores it in modes.json.
struct Mode {
  platform::Uuid id;
  std::string name;
  std::string icon;
  ModeType type = ModeType::block;
  std::vector<std::string> sites;
  std::vector<std::string> apps;
  bool isDefault = false;
  std::optional<std::vector<std::string>> intentionSuggestions;
};

}  // namespace varn
