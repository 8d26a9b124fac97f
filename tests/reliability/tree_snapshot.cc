#include "tree_snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

namespace varn::reliability {
namespace {

namespace fs = std::filesystem;

size_t hashOfContent(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return 0;
  std::string content;
  char buffer[65536];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
    content.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return std::hash<std::string>()(content);
}

EntryState stateOf(const fs::path& path) {
  struct stat st {};
  EntryState state;
  if (::lstat(path.c_str(), &st) != 0) return state;
  state.inode = st.st_ino;
  state.mode = st.st_mode;
  state.size = st.st_size;
  state.modified = st.st_mtim;
  if (S_ISREG(st.st_mode)) {
    state.kind = "file";
    state.contentHash = hashOfContent(path);
  } else if (S_ISDIR(st.st_mode)) {
    state.kind = "folder";
  } else if (S_ISLNK(st.st_mode)) {
    state.kind = "link to " + fs::read_symlink(path).native();
  } else if (S_ISFIFO(st.st_mode)) {
    state.kind = "fifo";
  } else if (S_ISSOCK(st.st_mode)) {
    state.kind = "socket";
  } else {
    state.kind = "other";
  }
  return state;
}

}  // namespace

bool EntryState::operator==(const EntryState& other) const {
  return kind == other.kind && inode == other.inode && mode == other.mode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
         contentHash == other.contentHash;
}

std::string EntryState::describe() const {
  return kind + " (inode " + std::to_string(inode) + ", size " + std::to_string(size) + ")";
}

TreeSnapshot snapshotTree(const fs::path& root) {
  TreeSnapshot snapshot;
  // Does not follow links to folders, so a planted link cannot lead the walk outside.
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    snapshot[entry.path().lexically_relative(root)] = stateOf(entry.path());
  }
  return snapshot;
}

}  // namespace varn::reliability
