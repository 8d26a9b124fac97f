#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/workspace.h"

namespace varn::platform {

// The workspace on the D-Bus session bus. An application's bundle identifier is its well-known
// bus name: it runs when the name has an owner, it is installed when the bus can activate the
// name (a D-Bus service file exists for it), and opening it is StartServiceByName, which starts
// it without any window being raised. Every call connects afresh, so a restarted bus is picked
// up; no connection is kept between calls. Without a reachable bus nothing runs and nothing is
// installed, and so it is with a bus that does not answer within kCallTimeout: the calls run on
// the main loop, whose watchdog must not see them stall for sd-bus's own 25 s per call.
class SdBusWorkspace final : public Workspace {
 public:
  // Longer than any bus's own service start timeout (the session bus's default is two minutes),
  // so that a service that never takes its name is reported by the bus, not by us.
  static constexpr std::chrono::seconds kOpenTimeout{150};
  // How long isRunning and isInstalled each, and the connection of openInBackground, may wait
  // for the bus, connecting and authenticating included. A bus answers such calls within
  // milliseconds; one that takes seconds is stopped or overloaded.
  static constexpr std::chrono::seconds kCallTimeout{2};

  // `event` is the main loop that delivers open completions; it must outlive the workspace.
  // `busAddress`: the session bus to use; nothing means the user's session bus.
  explicit SdBusWorkspace(sd_event* event, std::optional<std::string> busAddress = std::nullopt);
  // Abandons the opens still in flight (a helper that stops while the bus is starting the
  // application): their connections are closed and their completions never called.
  ~SdBusWorkspace() override;
  SdBusWorkspace(const SdBusWorkspace&) = delete;
  SdBusWorkspace& operator=(const SdBusWorkspace&) = delete;

  bool isRunning(const std::string& bundleIdentifier) override;
  bool isInstalled(const std::string& bundleIdentifier) override;
  void openInBackground(const std::string& bundleIdentifier, OpenCompletion completion) override;

 private:
  struct PendingOpen;
  static int onStartServiceReply(sd_bus_message* reply, void* userdata, sd_bus_error*) noexcept;
  static int onRelease(sd_event_source*, void* userdata) noexcept;

  sd_event* event_;
  std::optional<std::string> busAddress_;
  // Freed once their reply has been handled.
  std::unordered_map<const PendingOpen*, std::unique_ptr<PendingOpen>> pending_;
};

}  // namespace varn::platform
