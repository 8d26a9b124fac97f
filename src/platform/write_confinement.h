#pragma once

#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "platform/result.h"
#include "platform/unique_fd.h"

namespace varn::platform {

// Where the calling process may change the file system, narrowed with Landlock.
class WriteConfinement {
 public:
  // Refuses creating, writing, truncating, removing, renaming, linking and making any kind of
  // file (EACCES, or EXDEV for a rename or link across the boundary) everywhere but beneath
  // `folders`, and, where the kernel's ABI offers it (4 and later), binding and connecting TCP
  // sockets. An empty list allows no change anywhere. Reading stays open everywhere, and so do
  // descriptors opened before. It lasts for the life of the process and is inherited by every
  // thread and child started later; threads that exist already are not confined, so call it
  // before any other thread starts. Uses the highest ABI the kernel offers.
  //
  // A grant binds the folder that is there now, not its path: a folder missing now, or removed
  // and made again later, is not writable. A folder of the list that is missing now is skipped;
  // replacedFolder() tells when one appears.
  //
  // An error (the kernel has no Landlock, it is switched off, a system-call filter refuses it,
  // no folder of a non-empty list can be opened) leaves the process as it was.
  static Result<WriteConfinement> apply(const std::vector<std::filesystem::path>& folders);

  WriteConfinement(WriteConfinement&&) = default;
  WriteConfinement& operator=(WriteConfinement&&) = default;

  // The kernel's Landlock ABI that the confinement uses (1 and up).
  int abi() const { return abi_; }
  // The folders granted, in the order given, missing ones left out.
  std::vector<std::filesystem::path> granted() const;

  // The first folder of the list whose path now names a folder the grant does not cover: one
  // made since apply(), or one removed and made again. Nothing while every path names its
  // granted folder or nothing at all. Compared with a descriptor held open on each granted
  // folder, which keeps its inode number from being given to a new folder.
  std::optional<std::filesystem::path> replacedFolder() const;

 private:
  WriteConfinement() = default;
  int abi_ = 0;
  std::vector<std::pair<std::filesystem::path, UniqueFd>> folders_;  // no descriptor: missing
};

}  // namespace varn::platform
