#include "platform/sd_bus_workspace.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <memory>

#include "platform/result.h"
#include "platform/sd_event_run_loop.h"

namespace varn::platform {
namespace {

// Closed without flushing: nothing is left to send once a reply is in, and a flush would wait
// without bound on a bus that stopped reading.
using BusPtr = std::unique_ptr<sd_bus, Releaser<sd_bus_close_unref>>;
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

using Clock = std::chrono::steady_clock;

std::chrono::microseconds left(Clock::time_point deadline) {
  return std::max(std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()),
                  std::chrono::microseconds(0));
}

// A connection that has authenticated and said Hello by `deadline`. sd-bus would otherwise wait
// up to 25 s for a bus that accepted the connection but does not answer (a stopped daemon).
Result<BusPtr> connect(const std::optional<std::string>& address, Clock::time_point deadline) {
  sd_bus* raw = nullptr;
  int r = 0;
  if (!address) {
    r = sd_bus_open_user(&raw);
  } else {
    r = sd_bus_new(&raw);
    if (r >= 0) r = sd_bus_set_address(raw, address->c_str());
    if (r >= 0) r = sd_bus_set_bus_client(raw, 1);
    if (r >= 0) r = sd_bus_start(raw);
  }
  BusPtr bus(raw);
  while (r >= 0 && (r = sd_bus_is_ready(raw)) == 0) {
    if ((r = sd_bus_process(raw, nullptr)) > 0) continue;
    if (r < 0) break;
    if (left(deadline).count() == 0) r = -ETIMEDOUT;
    if (r >= 0) r = sd_bus_wait(raw, left(deadline).count());
  }
  if (r < 0) return busFailure("connect to the session bus", r, nullptr);
  return bus;
}

// Calls `member` of the bus itself with one string argument (or none), waiting for the reply
// until `deadline`.
Result<MessagePtr> callBus(sd_bus* bus, const char* member, const char* argument,
                           Clock::time_point deadline) {
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus, &raw, kBusService, kBusPath, kBusInterface, member);
  MessagePtr call(raw);
  if (r >= 0 && argument != nullptr) r = sd_bus_message_append(call.get(), "s", argument);
  BusError error;
  raw = nullptr;
  // A zero timeout would mean sd-bus's default, so at least a microsecond.
  if (r >= 0) {
    r = sd_bus_call(bus, call.get(), std::max<uint64_t>(left(deadline).count(), 1), error.get(),
                    &raw);
  }
  if (r < 0) return busFailure(member, r, error.get());
  return MessagePtr(raw);
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
  Result<BusPtr> bus = connect(busAddress_, deadline);
  if (!bus.ok()) return false;
  Result<MessagePtr> reply =
      callBus(bus.value().get(), "NameHasOwner", bundleIdentifier.c_str(), deadline);
  int hasOwner = 0;
  return reply.ok() && sd_bus_message_read(reply.value().get(), "b", &hasOwner) >= 0 &&
         hasOwner != 0;
}

bool SdBusWorkspace::isInstalled(const std::string& bundleIdentifier) {
  const auto deadline = Clock::now() + kCallTimeout;
  Result<BusPtr> bus = connect(busAddress_, deadline);
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
  Result<BusPtr> bus = connect(busAddress_, Clock::now() + kCallTimeout);
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
