#include "platform/bus_call.h"

#include <algorithm>
#include <cerrno>

namespace varn::platform {
namespace {

std::chrono::microseconds left(BusDeadline deadline) {
  return std::max(std::chrono::duration_cast<std::chrono::microseconds>(
                      deadline - std::chrono::steady_clock::now()),
                  std::chrono::microseconds(0));
}

}  // namespace

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

Result<BusPtr> startSessionBusConnection(const std::optional<std::string>& address) {
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
  if (r < 0) return busFailure("connect to the session bus", r, nullptr);
  return bus;
}

Result<BusPtr> connectToSessionBus(const std::optional<std::string>& address,
                                   BusDeadline deadline) {
  Result<BusPtr> started = startSessionBusConnection(address);
  if (!started.ok()) return started;
  BusPtr bus = std::move(started).value();
  sd_bus* raw = bus.get();
  int r = 0;
  while (r >= 0 && (r = sd_bus_is_ready(raw)) == 0) {
    if ((r = sd_bus_process(raw, nullptr)) > 0) continue;
    if (r < 0) break;
    if (left(deadline).count() == 0) r = -ETIMEDOUT;
    if (r >= 0) r = sd_bus_wait(raw, left(deadline).count());
  }
  if (r < 0) return busFailure("connect to the session bus", r, nullptr);
  return bus;
}

Result<MessagePtr> callMethod(sd_bus* bus, const char* destination, const char* path,
                              const char* interface, const char* member, BusDeadline deadline,
                              const AppendArguments& append) {
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus, &raw, destination, path, interface, member);
  MessagePtr call(raw);
  if (r >= 0 && append) r = append(call.get());
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

}  // namespace varn::platform
