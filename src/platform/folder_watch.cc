#include "platform/folder_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace varn::platform {
namespace {

// Changes of the folder's entries, and of the folder itself. IN_MODIFY and IN_CLOSE_WRITE stay
// out: writing into a file in place leaves the folder's entries as they were.
constexpr uint32_t kEntryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr uint32_t kFolderEvents = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;
constexpr uint32_t kWatchMask = kEntryEvents | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// Room for at least 240 events of the longest names; what does not fit comes as the next batch.
constexpr size_t kReadBufferSize = size_t{64} * 1024;

void addEvent(const inotify_event& event, FolderChanges& changes) {
  if (event.mask & IN_Q_OVERFLOW) changes.overflowed = true;
  if (event.mask & kFolderEvents) changes.folderChanged = true;
  // IN_IGNORED (the watch is gone) follows the folder's deletion and adds nothing to it.
  if ((event.mask & kEntryEvents) && event.len > 0) changes.names.emplace_back(event.name);
}

bool isEmpty(const FolderChanges& changes) {
  return changes.names.empty() && !changes.folderChanged && !changes.overflowed;
}

}  // namespace

Result<std::unique_ptr<FolderWatch>> FolderWatch::open(const std::filesystem::path& folder,
                                                       Handler handler) {
  UniqueFd inotify(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (!inotify) return systemError("inotify_init1 for", folder.native(), errno);
  if (::inotify_add_watch(inotify.get(), folder.c_str(), kWatchMask) < 0) {
    return systemError("watch", folder.native(), errno);
  }
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) return systemError("eventfd for", folder.native(), errno);

  std::unique_ptr<FolderWatch> watch(
      new FolderWatch(std::move(inotify), std::move(wake), std::move(handler)));
  try {
    watch->thread_ = std::thread([w = watch.get()] { w->run(); });
  } catch (const std::system_error& e) {
    return Error{"start the watch thread for " + folder.native() + ": " + e.what(),
                 e.code().value()};
  }
  return watch;
}

FolderWatch::FolderWatch(UniqueFd inotify, UniqueFd wake, Handler handler)
    : inotify_(std::move(inotify)), wake_(std::move(wake)), handler_(std::move(handler)) {}

FolderWatch::~FolderWatch() { stop(); }

void FolderWatch::stop() {
  if (thread_.joinable()) {
    const uint64_t one = 1;
    // An eventfd write fails only when its counter would overflow, which one write never does.
    while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  inotify_.reset();
  wake_.reset();
}

void FolderWatch::run() {
  pollfd fds[2] = {{inotify_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;  // Out of kernel memory: delivery ends; stop() still joins and closes.
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents == 0) continue;
    FolderChanges changes;
    const bool readable = readPending(changes);
    if (!isEmpty(changes)) handler_(changes);
    // A watch that cannot be read any more would wake poll() at once forever; wait for stop().
    if (!readable) fds[0].fd = -1;
  }
}

bool FolderWatch::readPending(FolderChanges& changes) {
  alignas(inotify_event) char buffer[kReadBufferSize];
  ssize_t length;
  do {
    length = ::read(inotify_.get(), buffer, sizeof buffer);
  } while (length < 0 && errno == EINTR);
  if (length < 0) return errno == EAGAIN;
  if (length == 0) return false;
  for (const char* at = buffer; at < buffer + length;) {
    const auto* event = reinterpret_cast<const inotify_event*>(at);
    addEvent(*event, changes);
    at += sizeof(inotify_event) + event->len;
  }
  return true;
}

}  // namespace varn::platform
