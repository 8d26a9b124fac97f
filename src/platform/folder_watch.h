#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/result.h"
#include "platform/unique_fd.h"

namespace varn::platform {

// What one read of a folder watch found. Several changes that were pending together arrive as
// one batch.
struct FolderChanges {
  // Entries of the folder created, deleted, or moved in or out, in the order they happened.
  // Writing into an existing file in place is not a change of the folder's entries.
  std::vector<std::string> names;
  // The folder itself was deleted or moved (or its file system unmounted). After a deletion the
  // watch is gone and no further batch comes.
  bool folderChanged = false;
  // The kernel dropped events: anything may have changed.
  bool overflowed = false;
};

// Watches the entries of one folder (inotify) and reports each batch of changes on a thread of
// its own. The handler is never called twice at once and never after stop() has returned.
//
// Owns the inotify descriptor, the eventfd that wakes its thread for stop(), and the thread.
// Not movable: the thread refers to the object.
class FolderWatch {
 public:
  using Handler = std::function<void(const FolderChanges& changes)>;

  // Starts watching `folder` (a link to a folder is followed) and calling `handler` on the
  // watch's thread for every batch; the handler must not throw. Fails, with nothing left open,
  // when the folder cannot be watched (missing, not a folder, no permission, inotify limits) or
  // the thread cannot start.
  static Result<std::unique_ptr<FolderWatch>> open(const std::filesystem::path& folder,
                                                   Handler handler);

  // Stops, as stop() does.
  ~FolderWatch();
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  // Ends delivery: wakes the thread, waits for a handler call in progress to return, joins the
  // thread, then closes each descriptor once. Later calls do nothing.
  // REQUIRES: not called from the handler (the thread cannot join itself).
  void stop();

 private:
  FolderWatch(UniqueFd inotify, UniqueFd wake, Handler handler);
  void run();
  // Reads what is pending; false when the watch can no longer be read.
  bool readPending(FolderChanges& changes);

  UniqueFd inotify_;
  UniqueFd wake_;  // eventfd; stop() makes it readable
  Handler handler_;
  std::thread thread_;
};

}  // namespace varn::platform
