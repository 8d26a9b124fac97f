#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/workspace.h"

namespace varn::platform {

// The workspace on the D-Bus session bus. An application's bundle identifier is its well-known
// bus name: it runs when the name has an owner (NameHasOwner), it is installed when the bus can
// activate the name (ListActivatableNames: a D-Bus service file exists for it), and opening it is
// StartServiceByName, which starts it without any window being raised.
//
// Each call connects afresh, so that a restarted bus is picked up, and runs on the main loop
// without ever waiting there: connecting, authenticating and the call itself are all bounded by
// one reply timeout, after which the call fails. A bus that cannot be connected to at all means
// nothing runs and nothing is installed.
class SdBusWorkspace final : public Workspace {
 public:
  // D-Bus's customary reply timeout.
  static constexpr std::chrono::seconds kReplyTimeout{25};

  // `event` is the main loop that carries the calls; it must outlive the workspace.
  // `busAddress`: the session bus to use; nothing means the user's session bus.
  explicit SdBusWorkspace(sd_event* event, std::optional<std::string> busAddress = std::nullopt,
                          std::chrono::microseconds replyTimeout = kReplyTimeout);
  // Abandons the calls still in flight: their connections are closed and their answers never
  // given.
  ~SdBusWorkspace() override;
  SdBusWorkspace(const SdBusWorkspace&) = delete;
  SdBusWorkspace& operator=(const SdBusWorkspace&) = delete;

  void isRunning(const std::string& bundleIdentifier, Answer answer) override;
  void isInstalled(const std::string& bundleIdentifier, Answer answer) override;
  void openInBackground(const std::string& bundleIdentifier, OpenCompletion completion) override;

 private:
  struct Call;
  // Given the reply to a call of the bus driver, valid only while it runs, or the error that
  // stopped the call.
  using ReplyHandler = std::function<void(const Result<sd_bus_message*>& reply)>;
  // Calls `member` of the bus driver, with the arguments `append` adds, on a connection of its
  // own. False, with `handler` never called, when no bus could be connected to.
  bool callBus(const char* member, const std::function<int(sd_bus_message*)>& append,
               ReplyHandler handler);
  void finish(Call* call, const Result<sd_bus_message*>& reply) noexcept;
  static int onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) noexcept;
  static int onTimeout(sd_event_source*, uint64_t, void* userdata) noexcept;
  static int onRelease(sd_event_source*, void* userdata) noexcept;

  sd_event* event_;
  std::optional<std::string> busAddress_;
  std::chrono::microseconds replyTimeout_;
  // Freed once their answer has been given.
  std::unordered_map<const Call*, std::unique_ptr<Call>> calls_;
};

}  // namespace varn::platform
