#include "platform/user_unit.h"

#include <type_traits>

#include "platform/bus_call.h"

namespace varn::platform {
namespace {

constexpr const char* kManager = "org.freedesktop.systemd1";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";

// One property of the object at `path`, of D-Bus type `type` ("s", "u" or "t"), as T (a string
// is copied out before the reply is freed).
template <typename T>
Result<T> readProperty(sd_bus* bus, const std::string& path, const char* interface,
                       const char* name, const char* type, BusDeadline deadline) {
  Result<MessagePtr> reply = callMethod(
      bus, kManager, path.c_str(), kProperties, "Get", deadline,
      [&](sd_bus_message* call) { return sd_bus_message_append(call, "ss", interface, name); });
  if (!reply.ok()) return reply.error();
  sd_bus_message* message = reply.value().get();
  std::conditional_t<std::is_same_v<T, std::string>, const char*, T> value{};
  int r = sd_bus_message_enter_container(message, 'v', type);
  if (r >= 0) r = sd_bus_message_read_basic(message, type[0], &value);
  if (r < 0) return busFailure(name, r, nullptr);
  return T(value);
}

Result<UnitState> readUnit(sd_bus* bus, const std::string& unit, BusDeadline deadline) {
  Result<MessagePtr> loaded = callMethod(
      bus, kManager, "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager", "LoadUnit",
      deadline,
      [&](sd_bus_message* call) { return sd_bus_message_append(call, "s", unit.c_str()); });
  if (!loaded.ok()) return loaded.error();
  const char* rawPath = nullptr;
  if (int r = sd_bus_message_read(loaded.value().get(), "o", &rawPath); r < 0) {
    return busFailure("LoadUnit", r, nullptr);
  }
  const std::string path = rawPath;
  constexpr const char* kUnit = "org.freedesktop.systemd1.Unit";
  constexpr const char* kService = "org.freedesktop.systemd1.Service";
  Result<std::string> load =
      readProperty<std::string>(bus, path, kUnit, "LoadState", "s", deadline);
  if (!load.ok()) return load.error();
  Result<std::string> active =
      readProperty<std::string>(bus, path, kUnit, "ActiveState", "s", deadline);
  if (!active.ok()) return active.error();
  UnitState state{load.value(), active.value(), std::nullopt, std::nullopt, std::nullopt};
  // A unit that is not found has no service properties; the rest stays unknown then.
  if (auto pid = readProperty<std::uint32_t>(bus, path, kService, "MainPID", "u", deadline);
      pid.ok() && pid.value() != 0) {
    state.mainPid = pid.value();
  }
  if (auto restarts = readProperty<std::uint32_t>(bus, path, kService, "NRestarts", "u", deadline);
      restarts.ok()) {
    state.restarts = restarts.value();
  }
  if (auto since =
          readProperty<std::uint64_t>(bus, path, kUnit, "ActiveEnterTimestamp", "t", deadline);
      since.ok() && since.value() != 0) {
    state.activeSince = Instant(std::chrono::microseconds(since.value()));
  }
  return state;
}

}  // namespace

UnitLookUp userUnitState(const std::string& unit, std::chrono::milliseconds timeout,
                         const std::optional<std::string>& busAddress) {
  const BusDeadline deadline = std::chrono::steady_clock::now() + timeout;
  Result<BusPtr> bus = connectToSessionBus(busAddress, deadline);
  if (!bus.ok()) return {false, bus.error()};
  return {true, readUnit(bus.value().get(), unit, deadline)};
}

}  // namespace varn::platform
