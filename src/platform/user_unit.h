#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/result.h"

namespace varn::platform {

// A unit of the user's service manager as the manager reports it.
struct UnitState {
  std::string loadState;                  // "loaded", "not-found", …
  std::string activeState;                // "active", "failed", "inactive", …
  std::optional<std::uint32_t> mainPid;   // nothing when the unit has no main process
  std::optional<std::uint32_t> restarts;  // NRestarts
  std::optional<Instant> activeSince;     // ActiveEnterTimestamp; nothing when never active
};

struct UnitLookUp {
  bool busAnswered = false;  // the session bus was reached, whatever the manager said
  Result<UnitState> state;
};

// The state of `unit` (a service) in the user's service manager, asked over the session bus at
// `busAddress` (nothing: the user's) at org.freedesktop.systemd1. The unit is loaded for the
// question when the manager had not loaded it, so an installed but stopped unit is told from a
// missing one. Every call together, connecting included, ends by `timeout`. Blocks the caller;
// writes nothing.
UnitLookUp userUnitState(const std::string& unit, std::chrono::milliseconds timeout,
                         const std::optional<std::string>& busAddress = std::nullopt);

}  // namespace varn::platform
