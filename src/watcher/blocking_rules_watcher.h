#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "platform/folder_watch.h"
#include "platform/log.h"
#include "shared/blocking_rule_store.h"

namespace varn {

// Sweeps expired rules files as soon as the entries of the folder of the shared rules file
// change, instead of waiting for the entry's 60-second sweep. Every change of the folder's
// entries (any file, by anyone) and the folder itself being deleted or moved cause one sweep;
// writing into a file in place does not. Changes to the app group container are not watched.
//
// Logs under subsystem "com.varn.macos.helper", category "blocking-rules-watcher".
//
// Threads: construct, start, stop and destroy on one thread (the main thread). Sweeps caused by
// changes run on the watch's own thread, one at a time, and may overlap the caller's own work
// with the store; the store's file coordination orders their file accesses.
class BlockingRulesWatcher {
 public:
  // Sweeps with store.clearIfExpired(); `store` must outlive the watcher.
  explicit BlockingRulesWatcher(const BlockingRuleStore& store);
  // Watches the folder of `sharedRulesFile` and calls `sweep` for each sweep. `sweep` must be
  // safe to call from the watch's thread while the constructing thread works.
  BlockingRulesWatcher(std::filesystem::path sharedRulesFile, std::function<void()> sweep);

  // Ends the watch as stop() does, without its log entry, waiting for a sweep in progress.
  ~BlockingRulesWatcher();
  BlockingRulesWatcher(const BlockingRulesWatcher&) = delete;
  BlockingRulesWatcher& operator=(const BlockingRulesWatcher&) = delete;

  // (Re)starts watching. Always begins with stop(). When the folder cannot be watched, logs the
  // failure and stays without a watch: no sweep, no retry. Otherwise watches, sweeps once on the
  // calling thread before returning, and logs that it started.
  void start();
  // Ends the watch if there is one (waiting for a sweep in progress) and logs that it stopped,
  // also when there was nothing to stop.
  void stop();

  bool isWatching() const { return source_ != nullptr; }

 private:
  platform::Logger logger_;
  std::unique_ptr<platform::FolderWatch> source_;
  std::filesystem::path sharedRulesFile_;
  // The watch's handler reaches the sweep only through a weak reference to this.
  std::shared_ptr<const std::function<void()>> sweep_;
};

}  // namespace varn
