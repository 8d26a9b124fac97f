#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace varn::bench {

struct RemovalDelays {
  std::vector<std::chrono::nanoseconds> delays;  // one per removal seen, in round order
  int timeouts = 0;                              // rounds in which the file was not removed
};

// Times how long an expired rules file stays in the watched folder: `rounds` times, writes
// `contents` to `stagingFolder` (on the same file system as `watchedFolder`), then measures from
// just before renaming it to `watchedFolder`/`name` until inotify reports its deletion, giving
// up after `timeout`. Rounds are `settle` apart, so that the sweep the removal itself triggers
// is over before the next rename. A file left behind by a timed-out round is removed here.
RemovalDelays measureRemovals(const std::filesystem::path& watchedFolder, const std::string& name,
                              const std::string& contents,
                              const std::filesystem::path& stagingFolder, int rounds,
                              std::chrono::milliseconds timeout, std::chrono::milliseconds settle);

}  // namespace varn::bench
