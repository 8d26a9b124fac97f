#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/log.h"
#include "platform/result.h"

namespace varn {

// Reads and decodes the whole file at `location`, and logs nothing: a rules file, or one of the
// files the main application keeps in the app group container (modes.json, schedules.json).
// Nothing without a location or a file there; the error when the file cannot be read (over
// `sizeLimit` included) or decoded. No lock is taken: a file caught mid-rewrite fails this call
// only.
template <typename T>
Result<std::optional<T>> readDecodedFile(const std::optional<std::filesystem::path>& location,
                                         size_t sizeLimit, Result<T> (*decode)(std::string_view)) {
  if (!location) return std::optional<T>();
  Result<std::string> bytes = platform::readWholeFile(*location, sizeLimit);
  if (!bytes.ok()) {
    // Whether a file is there is asked only now: one system call less on every pass, and a file
    // removed just before the read counts as absent rather than unreadable.
    if (!platform::fileExists(*location)) return std::optional<T>();
    return bytes.error();
  }
  Result<T> decoded = decode(bytes.value());
  if (!decoded.ok()) return decoded.error();
  return std::optional<T>(std::move(decoded).value());
}

// A file of the app group container, within the size limit of the user's lists.
template <typename T>
Result<std::optional<T>> readUserDataFile(const std::optional<std::filesystem::path>& location,
                                          Result<T> (*decode)(std::string_view)) {
  return readDecodedFile(location, platform::kUserDataFileSizeLimit, decode);
}

// As readUserDataFile, but a failure writes one error entry `failureFormat` (one public
// argument: the reason) and gives nothing.
template <typename T>
std::optional<T> loadUserDataFile(const std::optional<std::filesystem::path>& location,
                                  Result<T> (*decode)(std::string_view),
                                  const platform::Logger& logger, std::string_view failureFormat) {
  Result<std::optional<T>> read = readUserDataFile(location, decode);
  if (!read.ok()) {
    logger.error(failureFormat, {read.error().message});
    return std::nullopt;
  }
  return std::move(read).value();
}

}  // namespace varn
