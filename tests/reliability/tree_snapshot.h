#pragma once

#include <sys/types.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <string>

namespace varn::reliability {

// What an entry of a folder tree is, as far as anyone could notice a change to it. Links are
// described, never followed; only regular files are read. Link counts and change times are
// left out: removing one of two hard links changes both on the entry that stays.
struct EntryState {
  std::string kind;  // "file", "folder", "link to <target>", "fifo", "socket", "other"
  ino_t inode = 0;
  mode_t mode = 0;
  off_t size = 0;
  timespec modified{};
  size_t contentHash = 0;  // regular files only

  bool operator==(const EntryState& other) const;
  std::string describe() const;
};

// Every entry under `root` (not `root` itself), by path relative to `root`.
using TreeSnapshot = std::map<std::filesystem::path, EntryState>;
TreeSnapshot snapshotTree(const std::filesystem::path& root);

}  // namespace varn::reliability
