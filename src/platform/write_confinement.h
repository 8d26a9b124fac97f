#pragma once

#include <filesystem>
#include <vector>

#include "platform/result.h"

namespace varn::platform {

// Limits where the calling process may change the file system, with Landlock: creating,
// writing, truncating, removing, renaming, linking and making any kind of file are refused
// (EACCES, or EXDEV for a rename or link across the boundary) everywhere but beneath `trees`.
// Reading stays open everywhere, and so do descriptors opened before. It lasts for the life of
// the process and is inherited by every thread and child started later; threads that exist
// already are not confined, so call it before any other thread starts. Uses the highest
// Landlock ABI the kernel offers and returns it. An error (the kernel has no Landlock, it is
// switched off, a system-call filter refuses it, no tree can be opened) leaves the process as
// it was: nothing is confined. An empty `trees` confines the process to no writes at all.
Result<int> confineWritesBeneath(const std::vector<std::filesystem::path>& trees);

// `path` itself when it is a folder that exists, else its nearest ancestor that is; `path` must
// be absolute. Grants are made on folders that exist at start, while the folder the helper will
// write in (the app group folder) is usually made later, beneath one of them.
std::filesystem::path nearestExistingFolder(const std::filesystem::path& path);

}  // namespace varn::platform
