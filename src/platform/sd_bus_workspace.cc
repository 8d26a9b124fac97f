#include "platform/sd_bus_workspace.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <memory>

#include "platform/result.h"
#include "platform/sd_event_run_loop.h"

namespace varn::platform {
namespace {

using BusPtr = std::unique_ptr<sd_bus, Releaser<sd_bus_flush_close_unref>>;
using MessagePtr = std::unique_ptr<sd_bus_message, Releaser<sd_bus_message_unref>>;

constexpr const char* kBusService = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr const char* kBusInterface = "org.freedesktop.DBus";

// Owns an sd_bus_error and frees it once.
class BusError {
 public:
  BusError() = default;
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  ~BusError() { sd_bus_error_free(&error_); }
  sd_bus_error* get() { return &error_; }

 private:
  // SD_BUS_ERROR_NULL's value, which the macro spells as a C compound literal.
  sd_bus_error error_{nullptr, nullptr, 0};
};

Error busFailure(std::string_view what, int r, const sd_bus_error* error) {
  std::string message(what);
  message += ": ";
  if (error != nullptr && sd_bus_error_is_set(error)) {
    message += error->message != nullptr ? error->message : error->name;
  } else {
    message += errnoMessage(r < 0 ? -r : r);
  }
  return Error{std::move(message), r < 0 ? -r : r};
}

Result<BusPtr> connect(const std::optional<std::string>& address) {
  sd_bus* raw = nullptr;
  int r = 0;
  if (!address) {
    r = sd_bus_open_user(&raw);
  } else {
    r = sd_bus_new(&raw);
    BusPtr bus(raw);
    if (r >= 0) r = sd_bus_set_address(raw, address->c_str());
    if (r >= 0) r = sd_bus_set_bus_client(raw, 1);
    if (r >= 0) r = sd_bus_start(raw);
    if (r < 0) return busFailure("connect to the session bus", r, nullptr);
    return bus;
  }
  if (r < 0) return busFailure("connect to the session bus", r, nullptr);
  return BusPtr(raw);
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

SdBusWorkspace::~SdBusWorkspace() {
  for (PendingOpen* pending : pending_) delete pending;
}

int SdBusWorkspace::onRelease(sd_event_source*, void* userdata) noexcept {
  auto* pending = static_cast<PendingOpen*>(userdata);
  pending->owner->pending_.erase(pending);
  delete pending;
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
  Result<BusPtr> bus = connect(busAddress_);
  if (!bus.ok()) return false;
  BusError error;
  sd_bus_message* raw = nullptr;
  if (sd_bus_call_method(bus.value().get(), kBusService, kBusPath, kBusInterface, "NameHasOwner",
                         error.get(), &raw, "s", bundleIdentifier.c_str()) < 0) {
    return false;
  }
  MessagePtr reply(raw);
  int hasOwner = 0;
  return sd_bus_message_read(reply.get(), "b", &hasOwner) >= 0 && hasOwner != 0;
}

bool SdBusWorkspace::isInstalled(const std::string& bundleIdentifier) {
  Result<BusPtr> bus = connect(busAddress_);
  if (!bus.ok()) return false;
  BusError error;
  sd_bus_message* raw = nullptr;
  if (sd_bus_call_method(bus.value().get(), kBusService, kBusPath, kBusInterface,
                         "ListActivatableNames", error.get(), &raw, "") < 0) {
    return false;
  }
  MessagePtr reply(raw);
  char** names = nullptr;
  if (sd_bus_message_read_strv(reply.get(), &names) < 0 || names == nullptr) return false;
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
  Result<BusPtr> bus = connect(busAddress_);
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
  pending_.insert(pending.release());  // freed after onStartServiceReply has run
}

}  // namespace varn::platform
