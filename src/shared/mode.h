#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "platform/uuid.h"

namespace varn {

// How a session built from a mode treats its sites and apps.
enum class ModeType { block, mission };

inline constexpr std::array<ModeType, 2> kAllModeTypes = {ModeType::block, ModeType::mission};

// "block" or "mission", exactly and case-sensitively; nothing for any other text.
std::optional<ModeType> modeTypeFromRawValue(std::string_view raw);
std::string_view rawValue(ModeType type);

// A focus mode as the main application stores it in modes.json. Identified by `id`.
struct Mode {
  platform::Uuid id;
  std::string name;
  std::string icon;
  ModeType type = ModeType::block;
  std::vector<std::string> sites;  // as the user entered them, in file order
  std::vector<std::string> apps;   // bundle identifiers, in file order
  bool isDefault = false;
  std::optional<std::vector<std::string>> intentionSuggestions;  // absent unless the file has them
};

// All eight fields equal; strings compare by canonical equivalence (NFC), as the main
// application's strings do. An absent intentionSuggestions equals only another absent one.
bool operator==(const Mode& a, const Mode& b);

// Reads the content of modes.json: one JSON array of mode objects, in file order. Every object
// needs "id", "name", "icon", "type" ("block" or "mission"), "sites", "apps" and "isDefault";
// "intentionSuggestions" may be absent or null (the field is then absent) or an array of
// strings. Unknown keys are ignored. One faulty object fails the whole file; the error names the
// first fault, keys taken in the order above, with its position: "[1].type: expected \"block\"
// or \"mission\", found string \"Block\"".
Result<std::vector<Mode>> decodeModes(std::string_view bytes);

// Writes modes.json: compact JSON, each object with its keys in field order, the id in upper
// case, "intentionSuggestions" only when present. Cannot fail.
std::string encodeModes(const std::vector<Mode>& modes);

}  // namespace varn

template <>
struct std::hash<varn::ModeType> {
  size_t operator()(varn::ModeType type) const noexcept {
    return std::hash<std::string_view>()(varn::rawValue(type));
  }
};
