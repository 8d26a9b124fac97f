#pragma once

#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/file_coordination.h"
#include "platform/result.h"
#include "shared/blocking_rules.h"
#include "shared/store_locations.h"

namespace varn {

// Finds, reads, writes and deletes the two rules files: the shared one (the only file it
// writes) and the main application's copy in the app group container. Keeps nothing between
// calls and logs its own failures (subsystem "com.varn.macos", category "blocking-rule-store",
// every argument private). Any thread may call it: every access to an existing rules file holds
// the lock file beside it (platform/file_coordination.h), which orders it against other threads
// and the main application. Each call blocks until its file work is done.
class BlockingRuleStore {
 public:
  // Both must outlive the store.
  BlockingRuleStore(const StoreLocations& locations, const platform::Clock& clock)
      : locations_(locations), clock_(clock) {}

  const std::filesystem::path& sharedRulesFileURL() const { return locations_.sharedRulesFile; }
  // "blocking-rules.json" in the app group container, or nothing without a container.
  std::optional<std::filesystem::path> containerRulesFileURL() const;
  // The shared file, then the container file when there is a container.
  std::vector<std::filesystem::path> rulesFileURLs() const;

  // The record in the file at `location`; nothing, unlogged, when no file is there (`absent`
  // then tells so), or nothing, logged, when the file cannot be read or decoded.
  std::optional<BlockingRules> readRules(const std::filesystem::path& location,
                                         bool* absent = nullptr) const;
  // The first readable record in rulesFileURLs() order, expired or not, or nothing.
  std::optional<BlockingRules> load() const;

  // What load() would find, read without any lock and without logging, for a look that must
  // never wait: the record with its file, and each file before it that is there but cannot be
  // read or decoded, with the reason (load() would retry such a file under the lock).
  struct Peek {
    std::optional<std::pair<std::filesystem::path, BlockingRules>> found;
    std::vector<std::pair<std::filesystem::path, Error>> unreadable;
  };
  Peek peek() const;
  // Writes `rules` atomically to the shared file. On failure returns what stopped it; the file
  // then holds its previous content, or is empty when it did not exist before.
  Status save(const BlockingRules& rules) const;
  // Makes sure the folder of `location` and a file at `location` exist (mode 0644 when new).
  Status prepareSharedFile(const std::filesystem::path& location) const;
  // Deletes each rules file whose record has expired; leaves unreadable files alone. Waits for
  // locks held by others no longer than kLockWaitLimit in all.
  void clearIfExpired() const;

 private:
  void clearIfExpired(const std::filesystem::path& location, platform::LockDeadline deadline) const;
  // The record at `location`, nothing when no file is there, or why it cannot be read.
  static Result<std::optional<BlockingRules>> decodeFile(const std::filesystem::path& location);

  const StoreLocations& locations_;
  const platform::Clock& clock_;
};

}  // namespace varn
