#include "shared/schedule_store.h"

#include "platform/log.h"
#include "shared/user_data_file.h"

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
  return loadUserDataFile(schedulesFileURL(), &decodeFocusSchedules, logger(),
                          "Failed to load schedules: %{public}s")
      .value_or(std::vector<FocusSchedule>{});
}

Result<std::vector<FocusSchedule>> ScheduleStore::readSchedules() const {
  Result<std::optional<std::vector<FocusSchedule>>> read =
      readUserDataFile(schedulesFileURL(), &decodeFocusSchedules);
  if (!read.ok()) return read.error();
  return std::move(read).value().value_or(std::vector<FocusSchedule>{});
}

}  // namespace varn
