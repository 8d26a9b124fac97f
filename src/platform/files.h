#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace varn::platform {

// Size caps for whole-file reads: a rules file is one short object, the user's lists are larger.
inline constexpr size_t kRulesFileSizeLimit = 1 << 20;      // 1 MiB
inline constexpr size_t kUserDataFileSizeLimit = 32 << 20;  // 32 MiB

// Whether something exists at `path`, following links (a dangling link does not exist).
bool fileExists(const std::filesystem::path& path);

// Reads the whole regular file at `path` (following links). Never blocks on a FIFO or device:
// anything but a regular file is an error, and so is a file larger than `sizeLimit` bytes.
Result<std::string> readWholeFile(const std::filesystem::path& path, size_t sizeLimit);

// Replaces the file at `path` with `contents` in one step: a new file with a random name in the
// same folder (created exclusively, never through a link), written, given `mode`, synced, then
// renamed over `path`. A link at `path` is replaced, never written through. On failure the old
// file is untouched and the temporary file is gone.
Status writeFileAtomically(const std::filesystem::path& path, std::string_view contents,
                           mode_t mode = 0644);

// Creates `path` and any missing parents, each folder it makes with `mode` (less the umask); an
// existing folder is success. `path` must be absolute.
Status createDirectories(const std::filesystem::path& path, mode_t mode = 0777);

// Creates an empty file with exactly `mode`, failing if anything (a link included) is there.
Status createFileExclusively(const std::filesystem::path& path, mode_t mode);

// Removes the entry at `path`; a link is removed itself, never its target; a folder is not removed.
Status removeFile(const std::filesystem::path& path);

}  // namespace varn::platform
