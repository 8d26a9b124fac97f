#include "shared/schedule_store.h"

#include "platform/files.h"
#include "platform/log.h"

namespace varn {
namespace {

const platform::Logger& logger() {
  static const platform::Logger instance("com.varn.macos", "schedule-store");
  return instance;
}

}  // namespace

std::optional<std::filesystem::path> ScheduleStore::schedulesFileURL() const {
  return locations_.containerFile("schedules.json");
}

std::vector<FocusSchedule> ScheduleStore::loadSchedules() const {
  const std::optional<std::filesystem::path> location = schedulesFileURL();
  if (!location || !platform::fileExists(*location)) return {};
  Result<std::string> bytes = platform::readWholeFile(*location, platform::kUserDataFileSizeLimit);
  if (!bytes.ok()) {
    logger().error("Failed to load schedules: %{public}s", {bytes.error().message});
    return {};
  }
  Result<std::vector<FocusSchedule>> schedules = decodeFocusSchedules(bytes.value());
  if (!schedules.ok()) {
    logger().error("Failed to load schedules: %{public}s", {schedules.error().message});
    return {};
  }
  return std::move(schedules).value();
}

}  // namespace varn
