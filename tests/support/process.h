#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace varn::support {

struct CommandResult {
  int status = -1;     // the exit status, 128 + the signal that ended it, or -1 when it never ran
  std::string output;  // stdout and stderr together
};
// Runs `argv` (found on PATH) with stdin from /dev/null, killing it after `timeout`.
CommandResult run(const std::vector<std::string>& argv,
                  std::chrono::seconds timeout = std::chrono::seconds(60));

// Starts `argv` (found on PATH) with stdout and stderr appended to `log` (unless empty), after
// running `inChild` in the forked child (which may allocate only where the caller has no other
// threads); the pid, or -1.
pid_t spawn(const std::vector<std::string>& argv, const std::filesystem::path& log,
            const std::function<void()>& inChild = {});

// Sends `signal` to `pid`, waits up to `grace`, then kills it: its exit status, 128 + the
// signal that ended it, or -1 when it was no child of ours.
int stop(pid_t pid, int signal, std::chrono::milliseconds grace);

}  // namespace varn::support
