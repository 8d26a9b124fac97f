#pragma once

#include <chrono>
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
// A call waits at most kLockWaitLimit for a conflicting holder to let go: the lock file sits in a
// world-writable folder, so any local user can hold its lock for ever, and a participant that
// follows the protocol holds it for milliseconds. The wait blocks the calling thread without
// spinning; it briefly uses a real-time signal aimed at that thread alone, whose handler (installed
// once for the process) does nothing, and no such signal reaches the thread after the call returns.
//
// When the lock cannot be had (the lock file cannot be opened or created, is not a regular
// file, flock fails, or the wait reaches kLockWaitLimit), the accessor does not run and the
// error is returned. Otherwise the accessor runs once, synchronously, with the location to use,
// and the result is success.
inline constexpr std::chrono::seconds kLockWaitLimit{3};

using FileAccessor = std::function<void(const std::filesystem::path& location)>;
using LockDeadline = std::chrono::steady_clock::time_point;

Status coordinateReading(const std::filesystem::path& file, const FileAccessor& accessor);
// With a `deadline`, waits only until then (never past kLockWaitLimit from now), for a run of
// accesses that together must not wait longer than one limit: a lock that is free is still
// taken after the deadline, a held one is then a coordination error at once.
Status coordinateWriting(const std::filesystem::path& file, const FileAccessor& accessor,
                         LockDeadline deadline = LockDeadline::max());

// "<file>.lock"
std::filesystem::path lockFilePath(const std::filesystem::path& file);

}  // namespace varn::platform
