#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "platform/result.h"
#include "shared/focus_schedule.h"
#include "shared/store_locations.h"

namespace varn {

// Reads the user's focus schedules from "schedules.json" in the app group container, which the
// main application writes. Keeps nothing between calls and logs its own failures (subsystem
// "com.varn.macos", category "schedule-store", the error description public). Any thread may
// call it; the read takes no lock, so a file caught mid-rewrite fails this call and the next
// call reads it again.
class ScheduleStore {
 public:
  // `locations` must outlive the store.
  explicit ScheduleStore(const StoreLocations& locations) : locations_(locations) {}

  // "schedules.json" in the container, or nothing when there is no container.
  std::optional<std::filesystem::path> schedulesFileURL() const;

  // Every schedule in the file, enabled or not, in file order. Never fails: an empty list
  // without a container or a file (the ordinary case for a user without schedules, unlogged),
  // and an empty list with one error entry "Failed to load schedules: ..." when the file cannot
  // be read (a folder, a FIFO, more than 32 MiB, no permission) or decoded.
  std::vector<FocusSchedule> loadSchedules() const;
  // The same list, or the reason the file cannot be read or decoded; logs nothing.
  Result<std::vector<FocusSchedule>> readSchedules() const;

 private:
  const StoreLocations& locations_;
};

}  // namespace varn
