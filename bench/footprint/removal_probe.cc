#include "removal_probe.h"

#include <poll.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "support/temp_dir.h"

namespace varn::bench {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "footprint: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(2);
}

// True when the pending events hold the deletion of `name`. Reads what is there without waiting.
bool readDeletion(int inotify, const std::string& name) {
  alignas(inotify_event) char buffer[16 * 1024];
  bool deleted = false;
  for (;;) {
    const ssize_t length = ::read(inotify, buffer, sizeof buffer);
    if (length <= 0) return deleted;  // EAGAIN: nothing more for now
    for (const char* at = buffer; at < buffer + length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      if ((event->mask & IN_DELETE) && event->len > 0 && name == event->name) deleted = true;
      at += sizeof(inotify_event) + event->len;
    }
  }
}

}  // namespace

RemovalDelays measureRemovals(const std::filesystem::path& watchedFolder, const std::string& name,
                              const std::string& contents,
                              const std::filesystem::path& stagingFolder, int rounds,
                              std::chrono::milliseconds timeout, std::chrono::milliseconds settle) {
  const int inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify < 0 || ::inotify_add_watch(inotify, watchedFolder.c_str(), IN_DELETE) < 0) {
    die("cannot watch " + watchedFolder.native());
  }
  const std::filesystem::path staged = stagingFolder / name;
  const std::filesystem::path target = watchedFolder / name;
  RemovalDelays result;
  for (int round = 0; round < rounds; ++round) {
    support::writeFile(staged, contents);
    readDeletion(inotify, name);  // forget whatever an earlier round left pending
    const Clock::time_point start = Clock::now();
    if (::rename(staged.c_str(), target.c_str()) != 0) die("cannot rename into the folder");
    std::optional<Clock::duration> delay;
    for (Clock::time_point now = start; !delay && now - start < timeout; now = Clock::now()) {
      pollfd fd{inotify, POLLIN, 0};
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(timeout - (now - start));
      if (::poll(&fd, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
      const Clock::time_point seen = Clock::now();
      if (readDeletion(inotify, name)) delay = seen - start;
    }
    if (delay) {
      result.delays.push_back(*delay);
    } else {
      ++result.timeouts;
      ::unlink(target.c_str());
    }
    std::this_thread::sleep_for(settle);
  }
  ::close(inotify);
  return result;
}

}  // namespace varn::bench
