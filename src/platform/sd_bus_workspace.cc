#include "platform/sd_bus_workspace.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <memory>

#include "platform/bus_call.h"
#include "platform/result.h"
#include "platform/sd_event_run_loop.h"

namespace varn::platform {
namespace {

constexpr const char* kBusService = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr const char* kBusInterface = "org.freedesktop.DBus";

using Clock = std::chrono::steady_clock;

// Calls `member` of the bus itself with one string argument (or none), waiting for the reply
// until `deadline`.
Result<MessagePtr> callBus(sd_bus* bus, const char* member, const char* argument,
                           Clock::time_point deadline) {
  return callMethod(bus, kBusService, kBusPath, kBusInterface, member, deadline,
                    [argument](sd_bus_message* call) {
                      return argument != nullptr ? sd_bus_message_append(call, "s", argument) : 0;
                    });
}

}  // namespace

// Everything an open in flight needs. Created by openInBackground, freed once the reply has
// been handled, or with the workspace.
struct SdBusWorkspace::PendingOpen {
  SdBusWorkspace* owner;
  BusPtr bus;
  Workspace::OpenCompletion completion;
  EventSourcePtr release;
};

SdBusWorkspace::SdBusWorkspace(sd_event* event, std::optional<std::string> busAddress)
    : event_(event), busAddress_(std::move(busAddress)) {}

SdBusWorkspace::~SdBusWorkspace() = default;

int SdBusWorkspace::onRelease(sd_event_source*, void* userdata) noexcept {
  auto* pending = static_cast<PendingOpen*>(userdata);
  pending->owner->pending_.erase(pending);  // frees it
  return 0;
}

int SdBusWorkspace::onStartServiceReply(sd_bus_message* reply, void* userdata,
                                        sd_bus_error*) noexcept {
  auto* pending = static_cast<PendingOpen*>(userdata);
  std::optional<Error> error;
  if (const sd_bus_error* e = sd_bus_message_get_error(reply)) {
    error = busFailure("StartServiceByName", sd_bus_message_get_errno(reply), e);
  }
  try {
    pending->completion(error);
  } catch (...) {
  }
  // The bus is still dispatching this reply, so it is closed and freed from the next loop
  // iteration rather than from inside its own callback.
  sd_event_source* raw = nullptr;
  if (sd_event_add_defer(pending->owner->event_, &raw, &onRelease, pending) >= 0) {
    pending->release.reset(raw);
  } else {
    // Out of memory: keeping the connection open is better than closing it mid-dispatch.
    pending->completion = nullptr;
  }
  return 1;
}

bool SdBusWorkspace::isRunning(const std::string& bundleIdentifier) {
  const auto deadline = Clock::now() + kCallTimeout;
  Result<BusPtr> bus = connectToSessionBus(busAddress_, deadline);
  if (!bus.ok()) return false;
  Result<MessagePtr> reply =
      callBus(bus.value().get(), "NameHasOwner", bundleIdentifier.c_str(), deadline);
  int hasOwner = 0;
  return reply.ok() && sd_bus_message_read(reply.value().get(), "b", &hasOwner) >= 0 &&
         hasOwner != 0;
}

bool SdBusWorkspace::isInstalled(const std::string& bundleIdentifier) {
  const auto deadline = Clock::now() + kCallTimeout;
  Result<BusPtr> bus = connectToSessionBus(busAddress_, deadline);
  if (!bus.ok()) return false;
  Result<MessagePtr> reply = callBus(bus.value().get(), "ListActivatableNames", nullptr, deadline);
  char** names = nullptr;
  if (!reply.ok() || sd_bus_message_read_strv(reply.value().get(), &names) < 0 ||
      names == nullptr) {
    return false;
  }
  bool found = false;
  for (char** name = names; *name != nullptr; ++name) {
    found = found || bundleIdentifier == *name;
    free(*name);
  }
  free(names);
  return found;
}

void SdBusWorkspace::openInBackground(const std::string& bundleIdentifier,
                                      OpenCompletion completion) {
  Result<BusPtr> bus = connectToSessionBus(busAddress_, Clock::now() + kCallTimeout);
  if (!bus.ok()) {
    completion(bus.error());
    return;
  }
  int r = sd_bus_attach_event(bus.value().get(), event_, SD_EVENT_PRIORITY_NORMAL);
  if (r < 0) {
    completion(busFailure("attach the session bus to the main loop", r, nullptr));
    return;
  }
  auto pending = std::make_unique<PendingOpen>(
      PendingOpen{this, std::move(bus).value(), std::move(completion), nullptr});
  sd_bus_message* rawCall = nullptr;
  r = sd_bus_message_new_method_call(pending->bus.get(), &rawCall, kBusService, kBusPath,
                                     kBusInterface, "StartServiceByName");
  MessagePtr call(rawCall);
  if (r >= 0) r = sd_bus_message_append(call.get(), "su", bundleIdentifier.c_str(), 0u);
  if (r >= 0) {
    // A floating slot: it belongs to the bus, which the pending open owns.
    r = sd_bus_call_async(
        pending->bus.get(), nullptr, call.get(), &onStartServiceReply, pending.get(),
        std::chrono::duration_cast<std::chrono::microseconds>(kOpenTimeout).count());
  }
  if (r < 0) {
    pending->completion(busFailure("StartServiceByName", r, nullptr));
    return;
  }
  const PendingOpen* key = pending.get();
  pending_.emplace(key, std::move(pending));  // freed after onStartServiceReply has run
}

}  // namespace varn::platform
