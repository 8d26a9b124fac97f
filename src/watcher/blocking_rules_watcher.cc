#include "watcher/blocking_rules_watcher.h"

#include <utility>

namespace varn {

BlockingRulesWatcher::BlockingRulesWatcher(const BlockingRuleStore& store)
    : BlockingRulesWatcher(store.sharedRulesFileURL(), [&store] { store.clearIfExpired(); }) {}

BlockingRulesWatcher::BlockingRulesWatcher(std::filesystem::path sharedRulesFile,
                                           std::function<void()> sweep)
    : logger_("com.varn.macos.helper", "blocking-rules-watcher"),
      sharedRulesFile_(std::move(sharedRulesFile)),
      sweep_(std::make_shared<const std::function<void()>>(std::move(sweep))) {}

BlockingRulesWatcher::~BlockingRulesWatcher() {
  // A delivery that starts from now on finds no sweep; one already running keeps its own
  // reference until it returns, and the reset of the source waits for it.
  sweep_.reset();
  source_.reset();
}

void BlockingRulesWatcher::start() {
  stop();
  std::filesystem::path folder = sharedRulesFile_.parent_path();
  std::weak_ptr<const std::function<void()>> weakSweep = sweep_;
  auto watch = platform::FolderWatch::open(folder, [weakSweep](const platform::FolderChanges&) {
    if (auto sweep = weakSweep.lock()) (*sweep)();
  });
  if (!watch.ok()) {
    logger_.error("Failed to open blocking rules directory for watching.");
    return;
  }
  source_ = std::move(watch).value();
  (*sweep_)();
  logger_.notice("Blocking rules watcher started.");
}

void BlockingRulesWatcher::stop() {
  source_.reset();
  logger_.notice("Blocking rules watcher stopped.");
}

}  // namespace varn
