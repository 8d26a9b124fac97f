// VarnHelper: starts scheduled blocking sessions and clears expired ones. It takes no arguments
// and has no configuration; it runs until SIGTERM or SIGINT ends it, with status 0, or until a
// folder it may write in is replaced, with status 1.
#include <signal.h>

#include <string>

#include "helper/helper.h"
#include "helper/write_grants.h"
#include "platform/bundle_info.h"
#include "platform/calendar.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/sd_bus_workspace.h"
#include "platform/sd_event_run_loop.h"
#include "platform/service_manager.h"
#include "platform/write_confinement.h"
#include "shared/store_locations.h"

int main() {
  using namespace varn;
  const platform::Logger log("com.varn.macos", "helper");
  // Started by hand as `VarnHelper 2>&1 | head -n 1`, stderr goes dead once head is done; the
  // log sink's writes then fail with EPIPE and are dropped, instead of ending the helper. Setting
  // a valid signal's disposition cannot fail.
  (void)::signal(SIGPIPE, SIG_IGN);

  auto runLoop = platform::SdEventRunLoop::create();
  if (!runLoop.ok()) {
    // Only a machine out of memory or descriptors gets here; the service manager restarts us.
    log.error("Failed to create the main run loop: %{public}s", {runLoop.error().message});
    return 1;
  }
  platform::SdEventRunLoop& loop = *runLoop.value();
  // Before the watcher's thread exists, so that it inherits the blocked signals.
  if (const Status handled = loop.exitOnTerminationSignals(); !handled.ok()) {
    log.error("Failed to handle termination signals: %{public}s", {handled.error().message});
  }
  // Before the watcher's thread exists too: Landlock confines only the thread that asks and
  // those it starts later. A kernel without Landlock leaves the helper as it was.
  const StoreLocations locations = StoreLocations::production();
  std::vector<std::filesystem::path> writable = prepareWriteGrants(locations);
#ifdef VARN_COUNTERS_DIR
  writable.emplace_back(VARN_COUNTERS_DIR);  // a coverage build's counters, written at exit
#endif
  std::optional<platform::WriteConfinement> confinement;
  if (Result<platform::WriteConfinement> applied = platform::WriteConfinement::apply(writable);
      applied.ok()) {
    confinement = std::move(applied).value();
    std::string folders;
    for (const std::filesystem::path& folder : confinement->granted()) {
      folders += (folders.empty() ? "" : ", ") + folder.native();
    }
    log.debug("File system writes confined beneath %{public}s (Landlock ABI %{public}s)",
              {folders, std::to_string(confinement->abi())});
  } else {
    log.debug("File system writes not confined: %{public}s", {applied.error().message});
  }
  loop.feedServiceWatchdog();

  platform::SdBusWorkspace workspace(loop.event());
  Helper helper({loop, locations, platform::systemClock(), platform::currentCalendar(), workspace,
                 platform::mainBundleInfo()});
  Status started = helper.start();
  // A grant binds the folder that was there at start. Once one of them is replaced (or one that
  // was missing appears), writes there are refused until a restart grants the new folder: end
  // now, so that the service manager restarts the helper, rather than live on failing there.
  std::unique_ptr<platform::Timer> grantCheck;
  if (started.ok() && confinement) {
    Result<std::unique_ptr<platform::Timer>> timer =
        loop.addRepeatingTimer(kScheduleEvaluationInterval, [&] {
          if (const auto replaced = confinement->replacedFolder()) {
            log.error(
                "Granted folder %{public}s was replaced; ending so that a restart grants "
                "the new one",
                {replaced->native()});
            loop.exit(1);
          }
        });
    if (timer.ok()) {
      grantCheck = std::move(timer).value();
    } else {
      started = timer.error();
    }
  }
  if (!started.ok()) {
    // A helper that never evaluates, sweeps or checks its grants again would look alive to the
    // manager; ending it gets it restarted.
    log.error("Failed to start the timers: %{public}s", {started.error().message});
    return 1;
  }
  // The start sequence is done: the folder is watched, the first evaluation made, the timers
  // armed.
  platform::notifyServiceManager("READY=1\nSTATUS=" + helper.status());
  const int status = loop.run();
  return status < 0 ? 1 : status;
}
