#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/log.h"
#include "platform/result.h"

namespace varn {

// Reads and decodes one of the files the main application keeps in the app group container
// (modes.json, schedules.json). Nothing, unlogged, without a location or a file there; nothing,
// with one error entry `failureFormat` (one public argument: the reason), when the file cannot
// be read or decoded. No lock is taken: a file caught mid-rewrite fails this call only.
template <typename T>
std::optional<T> loadUserDataFile(const std::optional<std::filesystem::path>& location,
                                  Result<T> (*decode)(std::string_view),
                                  const platform::Logger& logger, std::string_view failureFormat) {
  if (!location) return std::nullopt;
  Result<std::string> bytes = platform::readWholeFile(*location, platform::kUserDataFileSizeLimit);
  if (!bytes.ok()) {
    // Whether a file is there is asked only now: one system call less on every pass, and a file
    // removed just before the read counts as absent rather than unreadable.
    if (!platform::fileExists(*location)) return std::nullopt;
    logger.error(failureFormat, {bytes.error().message});
    return std::nullopt;
  }
  Result<T> decoded = decode(bytes.value());
  if (!decoded.ok()) {
    logger.error(failureFormat, {decoded.error().message});
    return std::nullopt;
  }
  return std::move(decoded).value();
}

}  // namespace varn
