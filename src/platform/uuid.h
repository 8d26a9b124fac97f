#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace varn::platform {

// A 128-bit identifier. Read from its 36-character 8-4-4-4-12 text in either case; written in
// upper case.
struct Uuid {
  std::array<std::uint8_t, 16> bytes{};

  // Nothing unless `text` is exactly the 36-character hyphenated form.
  static std::optional<Uuid> parse(std::string_view text);
  // A new random (version 4) identifier.
  static Uuid random();
  // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"
  std::string toString() const;

  friend bool operator==(const Uuid&, const Uuid&) = default;
  friend auto operator<=>(const Uuid&, const Uuid&) = default;
};

}  // namespace varn::platform

template <>
struct std::hash<varn::platform::Uuid> {
  size_t operator()(const varn::platform::Uuid& uuid) const noexcept {
    return std::hash<std::string_view>()(
        std::string_view(reinterpret_cast<const char*>(uuid.bytes.data()), uuid.bytes.size()));
  }
};
