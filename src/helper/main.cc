// VarnHelper: starts scheduled blocking sessions and clears expired ones. It takes no arguments
// and has no configuration; it runs until it is terminated from outside.
#include "helper/helper.h"
#include "platform/bundle_info.h"
#include "platform/calendar.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/sd_bus_workspace.h"
#include "platform/sd_event_run_loop.h"
#include "shared/store_locations.h"

int main() {
  using namespace varn;
  auto runLoop = platform::SdEventRunLoop::create();
  if (!runLoop.ok()) {
    // Only a machine out of memory or descriptors gets here; the service manager restarts us.
    platform::Logger("com.varn.macos", "helper")
        .error("Failed to create the main run loop: %{public}s", {runLoop.error().message});
    return 1;
  }
  const StoreLocations locations = StoreLocations::production();
  platform::SdBusWorkspace workspace(runLoop.value()->event());
  Helper helper({*runLoop.value(), locations, platform::systemClock(), platform::currentCalendar(),
                 workspace, platform::mainBundleInfo()});
  helper.start();
  runLoop.value()->run();
  return 0;
}
