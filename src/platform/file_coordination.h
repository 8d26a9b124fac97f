#pragma once

#include <filesystem>
#include <functional>

#include "platform/result.h"

namespace varn::platform {

// Coordinated access to a file shared with other processes (the main application) and other
// threads. The protocol, which every participant follows:
//   - the lock is an advisory flock() on the sidecar file "<file>.lock" in the same folder;
//   - readers take it shared, writers (replacing or deleting the file) take it exclusive;
//   - the lock file is opened read-only, never through a link, and created (mode 0644) only when
//     missing; it is never deleted, so the lock survives atomic replacement of the file itself.
// Each call opens its own descriptor, so threads of one process exclude each other too.
// A call blocks for as long as a conflicting holder keeps the lock; there is no timeout.
//
// When the lock cannot be had (the lock file cannot be opened or created, is not a regular
// file, or flock fails), the accessor does not run and the error is returned. Otherwise the
// accessor runs once, synchronously, with the location to use, and the result is success.
using FileAccessor = std::function<void(const std::filesystem::path& location)>;

Status coordinateReading(const std::filesystem::path& file, const FileAccessor& accessor);
Status coordinateWriting(const std::filesystem::path& file, const FileAccessor& accessor);

// "<file>.lock"
std::filesystem::path lockFilePath(const std::filesystem::path& file);

}  // namespace varn::platform
