#pragma once

#include <systemd/sd-event.h>

#include <chrono>
#include <optional>
#include <string>

#include "platform/workspace.h"

namespace varn::platform {

// The workspace on the D-Bus session bus. An application's bundle identifier is its well-known
// bus name: it runs when the name has an owner, it is installed when the bus can activate the
// name (a D-Bus service file exists for it), and opening it is StartServiceByName, which starts
// it without any window being raised. Every call connects afresh, so a restarted bus is picked
// up; no connection is kept between calls. Without a reachable bus nothing runs and nothing is
// installed.
class SdBusWorkspace final : public Workspace {
 public:
  // Longer than any bus's own service start timeout (the session bus's default is two minutes),
  // so that a service that never takes its name is reported by the bus, not by us.
  static constexpr std::chrono::seconds kOpenTimeout{150};

  // `event` is the main loop that delivers open completions; it must outlive every pending open.
  // `busAddress`: the session bus to use; nothing means the user's session bus.
  explicit SdBusWorkspace(sd_event* event, std::optional<std::string> busAddress = std::nullopt)
      : event_(event), busAddress_(std::move(busAddress)) {}

  bool isRunning(const std::string& bundleIdentifier) override;
  bool isInstalled(const std::string& bundleIdentifier) override;
  void openInBackground(const std::string& bundleIdentifier, OpenCompletion completion) override;

 private:
  sd_event* event_;
  std::optional<std::string> busAddress_;
};

}  // namespace varn::platform
