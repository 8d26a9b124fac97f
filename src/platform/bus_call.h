#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/sd_event_run_loop.h"

namespace varn::platform {

// Connections to the session bus, and blocking calls on it for a short-lived command, each
// bounded by a deadline rather than sd-bus's own 25 s: a bus that accepted the connection but
// does not answer (a stopped daemon) costs no more than the caller allows. A long-lived loop
// uses SdBusWorkspace's calls instead, which never wait.

// Closed without flushing: nothing is left to send once a reply is in, and a flush would wait
// without bound on a bus that stopped reading.
using BusPtr = std::unique_ptr<sd_bus, Releaser<sd_bus_close_unref>>;
using MessagePtr = std::unique_ptr<sd_bus_message, Releaser<sd_bus_message_unref>>;
using BusDeadline = std::chrono::steady_clock::time_point;

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

// "<what>: <the bus error's message, or errno's text for r>".
Error busFailure(std::string_view what, int r, const sd_bus_error* error);

// A connection to the session bus at `address` (nothing: the user's) under way: only the socket's
// connect has happened, which a local socket that exists answers at once; authenticating and
// saying Hello follow as the connection is processed. An error when there is no bus to connect to.
Result<BusPtr> startSessionBusConnection(const std::optional<std::string>& address);

// A connection to the session bus at `address` (nothing: the user's) that has authenticated and
// said Hello by `deadline`.
Result<BusPtr> connectToSessionBus(const std::optional<std::string>& address, BusDeadline deadline);

// A method call's arguments, appended to the message; a negative errno on failure.
using AppendArguments = std::function<int(sd_bus_message* call)>;

// Calls `member` of `interface` at `path` of `destination` and waits for the reply until
// `deadline`. An error reply is returned as the error, its message included.
Result<MessagePtr> callMethod(sd_bus* bus, const char* destination, const char* path,
                              const char* interface, const char* member, BusDeadline deadline,
                              const AppendArguments& append = {});

}  // namespace varn::platform
