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

}  // namespace

// One call in flight, with its connection. Freed from the loop once its answer has been given,
// or with the workspace.
struct SdBusWorkspace::Call {
  SdBusWorkspace* owner;
  std::string member;
  ReplyHandler handler;  // emptied once called
  BusPtr bus;
  EventSourcePtr deadline;
  EventSourcePtr release;
};

SdBusWorkspace::SdBusWorkspace(sd_event* event, std::optional<std::string> busAddress,
                               std::chrono::microseconds replyTimeout)
    : event_(event), busAddress_(std::move(busAddress)), replyTimeout_(replyTimeout) {}

SdBusWorkspace::~SdBusWorkspace() = default;

bool SdBusWorkspace::callBus(const char* member, const std::function<int(sd_bus_message*)>& append,
                             ReplyHandler handler) {
  Result<BusPtr> bus = startSessionBusConnection(busAddress_);
  if (!bus.ok()) return false;
  auto call = std::make_unique<Call>(
      Call{this, member, std::move(handler), std::move(bus).value(), nullptr, nullptr});
  // sd-bus bounds only the call's reply; this bounds authenticating and Hello as well, which a
  // bus that accepted the connection but stopped (or is still starting) would otherwise stretch
  // to sd-bus's own limits.
  const uint64_t timeout = replyTimeout_.count();
  sd_event_source* rawDeadline = nullptr;
  int r = sd_bus_attach_event(call->bus.get(), event_, SD_EVENT_PRIORITY_NORMAL);
  if (r >= 0) {
    r = sd_event_add_time_relative(event_, &rawDeadline, CLOCK_MONOTONIC, timeout, 0, &onTimeout,
                                   call.get());
    call->deadline.reset(rawDeadline);
  }
  sd_bus_message* rawMessage = nullptr;
  if (r >= 0) {
    r = sd_bus_message_new_method_call(call->bus.get(), &rawMessage, kBusService, kBusPath,
                                       kBusInterface, member);
  }
  const MessagePtr message(rawMessage);
  if (r >= 0) r = append(message.get());
  // A floating slot: it belongs to the bus, which the call owns.
  if (r >= 0) {
    r = sd_bus_call_async(call->bus.get(), nullptr, message.get(), &onReply, call.get(), timeout);
  }
  Call* const key = call.get();
  calls_.emplace(key, std::move(call));
  if (r < 0) finish(key, busFailure(member, r, nullptr));
  return true;
}

void SdBusWorkspace::finish(Call* call, const Result<sd_bus_message*>& reply) noexcept {
  if (call->handler) {
    const ReplyHandler handler = std::move(call->handler);
    call->handler = nullptr;
    try {
      handler(reply);
    } catch (...) {
    }
  }
  if (call->release) return;
  // The bus may be dispatching this very reply, so it is closed and freed from the next loop
  // iteration rather than from inside its own callback.
  sd_event_source* raw = nullptr;
  if (sd_event_add_defer(event_, &raw, &onRelease, call) >= 0) call->release.reset(raw);
  // Out of memory otherwise: the call then stays until the workspace goes, which is better than
  // closing a bus in the middle of its dispatch.
}

int SdBusWorkspace::onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) noexcept {
  auto* call = static_cast<Call*>(userdata);
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    call->owner->finish(call, busFailure(call->member, sd_bus_message_get_errno(reply), error));
  } else {
    call->owner->finish(call, reply);
  }
  return 1;
}

int SdBusWorkspace::onTimeout(sd_event_source*, uint64_t, void* userdata) noexcept {
  auto* call = static_cast<Call*>(userdata);
  call->owner->finish(call, busFailure(call->member, -ETIMEDOUT, nullptr));
  return 0;
}

int SdBusWorkspace::onRelease(sd_event_source*, void* userdata) noexcept {
  auto* call = static_cast<Call*>(userdata);
  call->owner->calls_.erase(call);  // frees it
  return 0;
}

void SdBusWorkspace::isRunning(const std::string& bundleIdentifier, Answer answer) {
  const bool connected = callBus(
      "NameHasOwner",
      [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", bundleIdentifier.c_str()); },
      [answer](const Result<sd_bus_message*>& reply) {
        if (!reply.ok()) return answer(reply.error());
        int hasOwner = 0;
        const int r = sd_bus_message_read(reply.value(), "b", &hasOwner);
        if (r < 0) return answer(busFailure("NameHasOwner", r, nullptr));
        answer(hasOwner != 0);
      });
  if (!connected) answer(false);
}

void SdBusWorkspace::isInstalled(const std::string& bundleIdentifier, Answer answer) {
  const bool connected = callBus(
      "ListActivatableNames", [](sd_bus_message*) { return 0; },
      [answer, bundleIdentifier](const Result<sd_bus_message*>& reply) {
        if (!reply.ok()) return answer(reply.error());
        char** names = nullptr;
        const int r = sd_bus_message_read_strv(reply.value(), &names);
        if (r < 0) return answer(busFailure("ListActivatableNames", r, nullptr));
        bool found = false;
        for (char** name = names; name != nullptr && *name != nullptr; ++name) {
          found = found || bundleIdentifier == *name;
          free(*name);
        }
        free(names);
        answer(found);
      });
  if (!connected) answer(false);
}

void SdBusWorkspace::openInBackground(const std::string& bundleIdentifier,
                                      OpenCompletion completion) {
  const bool connected = callBus(
      "StartServiceByName",
      [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "su", bundleIdentifier.c_str(), 0u);
      },
      [completion](const Result<sd_bus_message*>& reply) {
        completion(reply.ok() ? std::nullopt : std::optional<Error>(reply.error()));
      });
  if (!connected) completion(Error{"no session bus to start " + bundleIdentifier + " on", ENOENT});
}

}  // namespace varn::platform
