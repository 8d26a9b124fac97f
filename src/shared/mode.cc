#include "shared/mode.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "platform/unicode.h"
#include "shared/json_reader.h"

namespace varn {
namespace {

bool canonicallyEqual(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  return std::equal(
      a.begin(), a.end(), b.begin(), b.end(),
      [](const std::string& x, const std::string& y) { return platform::canonicallyEqual(x, y); });
}

Result<Mode> readMode(JsonValue object, std::string path) {
  JsonObjectReader reader(object, std::move(path));
  Mode mode;
  if (auto id = reader.uuid("id")) mode.id = *id;
  if (auto name = reader.string("name")) mode.name = std::move(*name);
  if (auto icon = reader.string("icon")) mode.icon = std::move(*icon);
  if (auto type = reader.string("type")) {
    if (auto parsed = modeTypeFromRawValue(*type)) {
      mode.type = *parsed;
    } else {
      reader.fail("type", "expected \"block\" or \"mission\", found " + describeJsonString(*type));
    }
  }
  if (auto sites = reader.stringArray("sites")) mode.sites = std::move(*sites);
  if (auto apps = reader.stringArray("apps")) mode.apps = std::move(*apps);
  if (auto isDefault = reader.boolean("isDefault")) mode.isDefault = *isDefault;
  mode.intentionSuggestions = reader.optionalStringArray("intentionSuggestions");
  if (!reader.ok()) return reader.error();
  return mode;
}

nlohmann::ordered_json writeMode(const Mode& mode) {
  nlohmann::ordered_json object = {
      {"id", mode.id.toString()},    {"name", mode.name},   {"icon", mode.icon},
      {"type", rawValue(mode.type)}, {"sites", mode.sites}, {"apps", mode.apps},
      {"isDefault", mode.isDefault},
  };
  if (mode.intentionSuggestions) object["intentionSuggestions"] = *mode.intentionSuggestions;
  return object;
}

}  // namespace

std::optional<ModeType> modeTypeFromRawValue(std::string_view raw) {
  if (raw == "block") return ModeType::block;
  if (raw == "mission") return ModeType::mission;
  return std::nullopt;
}

std::string_view rawValue(ModeType type) { return type == ModeType::block ? "block" : "mission"; }

bool operator==(const Mode& a, const Mode& b) {
  return a.id == b.id && platform::canonicallyEqual(a.name, b.name) &&
         platform::canonicallyEqual(a.icon, b.icon) && a.type == b.type &&
         canonicallyEqual(a.sites, b.sites) && canonicallyEqual(a.apps, b.apps) &&
         a.isDefault == b.isDefault &&
         a.intentionSuggestions.has_value() == b.intentionSuggestions.has_value() &&
         (!a.intentionSuggestions ||
          canonicallyEqual(*a.intentionSuggestions, *b.intentionSuggestions));
}

Result<std::vector<Mode>> decodeModes(std::string_view bytes) {
  return decodeJsonArray<Mode>(bytes, "modes", readMode);
}

std::string encodeModes(const std::vector<Mode>& modes) {
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const Mode& mode : modes) array.push_back(writeMode(mode));
  // Strings built in code could hold invalid UTF-8 (decoded ones cannot); replacing it keeps
  // the writer from throwing.
  return array.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace varn
