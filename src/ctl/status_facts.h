#pragma once

#include <functional>
#include <optional>
#include <string>

#include "ctl/status.h"
#include "platform/bundle_info.h"
#include "platform/calendar.h"
#include "platform/clock.h"
#include "platform/workspace.h"
#include "shared/store_locations.h"

namespace varn::ctl {

// The unit the helper runs as in the user's service manager.
inline constexpr const char* kHelperUnit = "varn-helper.service";

// Where the facts come from; everything must outlive the call.
struct FactSources {
  const StoreLocations& locations;
  const platform::Clock& clock;
  const platform::BundleInfo& bundle;
  platform::Workspace& workspace;
  // Turns the loop that carries the workspace's answers until `answered` holds or its bound has
  // passed.
  std::function<void(const std::function<bool()>& answered)> turnLoopUntil;
  const platform::UserZoneFinding& zone;
};

// Reads everything `varnctl status` shows, as the helper would read it, and writes nothing: the
// rules files without their locks, the user's files, the shared folder, /proc/locks, the user's
// service manager and journal, and the main application on the session bus. Every bus call is
// bounded (a couple of seconds), so it returns within a few seconds whatever the bus does.
StatusFacts gatherFacts(const FactSources& sources);

// The main application on the session bus, asked as the launcher asks: whether it runs and
// whether it can be started; nothing for an answer that failed or did not come, and for both
// when `busAnswers` is false. The only use of the workspace.
struct MainAppLookUp {
  std::optional<bool> running;
  std::optional<bool> installed;
};
MainAppLookUp lookUpMainApp(const FactSources& sources, const std::string& id, bool busAnswers);

}  // namespace varn::ctl
