#include "ctl/status_facts.h"

#include <sys/stat.h>

#include "platform/file_coordination.h"
#include "platform/user_unit.h"
#include "schedule/main_app_launcher.h"
#include "shared/blocking_rule_store.h"
#include "shared/mode_store.h"
#include "shared/schedule_store.h"

namespace varn::ctl {
namespace {

// Each bus question gets this long, connecting included; a bus answers within milliseconds.
constexpr std::chrono::seconds kBusTimeout{2};
// Of more error entries, the latest this many.
constexpr size_t kJournalLimit = 10;
constexpr const char* kLogIdentifier = "VarnHelper";

void readStores(const FactSources& sources, StatusFacts& facts) {
  const BlockingRuleStore rules(sources.locations, sources.clock);
  BlockingRuleStore::Peek peek = rules.peek();
  facts.session = std::move(peek.found);
  facts.unreadableRules = std::move(peek.unreadable);
  for (const std::filesystem::path& file : rules.rulesFileURLs()) {
    for (platform::LockHolder& holder : platform::lockHolders(platform::lockFilePath(file))) {
      facts.heldLocks.push_back({platform::lockFilePath(file), std::move(holder)});
    }
  }
  const ScheduleStore schedules(sources.locations);
  facts.schedulesFile = schedules.schedulesFileURL().value_or("");
  facts.schedules = schedules.readSchedules();
  const ModeStore modes(sources.locations);
  facts.modesFile = modes.modesFileURL().value_or("");
  facts.modes = modes.readModes();
}

void readSharedFolder(const FactSources& sources, StatusFacts& facts) {
  facts.sharedFolder = sources.locations.sharedRulesFile.parent_path();
  struct stat status {};
  if (::stat(facts.sharedFolder.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    facts.sharedFolderMode = status.st_mode & 07777;
  }
}

// The helper's unit; whether the session bus answered at all.
bool readHelper(StatusFacts& facts) {
  const platform::UnitLookUp unit = platform::userUnitState(kHelperUnit, kBusTimeout);
  if (!unit.state.ok()) return unit.busAnswered;
  const platform::UnitState& state = unit.state.value();
  facts.helper = {state.activeState, state.loadState == "loaded", state.mainPid, state.restarts};
  // Only errors since the last start tell of the helper as it runs now; without a known start
  // there is no such span, and older errors would be reported for ever.
  if (!state.activeSince) return true;
  if (const auto entries =
          platform::journalErrors(kLogIdentifier, state.activeSince, kJournalLimit);
      entries.ok()) {
    facts.journalErrors = entries.value();
  }
  return true;
}

}  // namespace

MainAppLookUp lookUpMainApp(const FactSources& sources, const std::string& id, bool busAnswers) {
  if (!busAnswers) return {};
  // Shared with the answers, which may come after this returns (then they go nowhere).
  struct Asked {
    MainAppLookUp found;
    int pending = 2;
  };
  const auto asked = std::make_shared<Asked>();
  const auto keep = [asked](std::optional<bool>& into) {
    return [asked, &into](const Result<bool>& answer) {
      if (answer.ok()) into = answer.value();
      --asked->pending;
    };
  };
  sources.workspace.isRunning(id, keep(asked->found.running));
  sources.workspace.isInstalled(id, keep(asked->found.installed));
  sources.turnLoopUntil([&] { return asked->pending == 0; });
  return asked->found;
}

StatusFacts gatherFacts(const FactSources& sources) {
  StatusFacts facts;
  facts.now = sources.clock.now();
  facts.zone = {sources.zone.name, sources.zone.source, sources.zone.whyNone};
  readStores(sources, facts);
  readSharedFolder(sources, facts);
  const bool busAnswers = readHelper(facts);
  facts.mainApp.id = resolveMainAppBundleIdentifier(sources.bundle);
  if (facts.mainApp.id) {
    const MainAppLookUp app = lookUpMainApp(sources, *facts.mainApp.id, busAnswers);
    facts.mainApp.running = app.running;
    facts.mainApp.installed = app.installed;
  }
  return facts;
}

}  // namespace varn::ctl
