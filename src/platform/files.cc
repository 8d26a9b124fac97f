#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/unique_fd.h"
#include "platform/uuid.h"

namespace varn::platform {
namespace {

Status writeAll(int fd, std::string_view data, const std::filesystem::path& path) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return systemError("write", path.native(), errno);
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return Status::success();
}

std::string sizeLimitText(size_t limit) {
  if (limit % (1 << 20) == 0) return std::to_string(limit >> 20) + " MiB";
  return std::to_string(limit) + " bytes";
}

void syncFolder(const std::filesystem::path& folder) {
  // Makes the rename durable. Some file systems refuse fsync on a folder; the rename has
  // happened either way, so that is not an error of the write.
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) ::fsync(fd.get());
}

}  // namespace

bool fileExists(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

Result<std::string> readWholeFile(const std::filesystem::path& path, size_t sizeLimit) {
  // O_NONBLOCK: opening a FIFO without a writer must not hang; O_NOCTTY: a terminal planted at
  // the path must not become our controlling terminal.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return systemError("open", path.native(), errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return systemError("stat", path.native(), errno);
  if (S_ISDIR(st.st_mode)) return systemError("read", path.native(), EISDIR);
  if (!S_ISREG(st.st_mode)) {
    return Error{"read " + path.native() + ": not a regular file", EINVAL};
  }
  const auto tooLarge = [&] {
    return Error{"read " + path.native() + ": file is larger than the " + sizeLimitText(sizeLimit) +
                     " limit",
                 EFBIG};
  };
  if (static_cast<unsigned long long>(st.st_size) > sizeLimit) return tooLarge();

  // One byte more than the file holds: the read that meets the end then needs no bigger buffer
  // (growing would copy and clear the whole content once more).
  std::string contents;
  contents.resize(static_cast<size_t>(st.st_size) + 1);
  size_t used = 0;
  for (;;) {
    // The file may grow while it is read; read one byte past the limit to notice.
    if (used == contents.size()) {
      if (contents.size() > sizeLimit) return tooLarge();
      contents.resize(std::min(sizeLimit + 1, std::max<size_t>(contents.size() * 2, 4096)));
    }
    ssize_t n = ::read(fd.get(), contents.data() + used, contents.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return systemError("read", path.native(), errno);
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  if (used > sizeLimit) return tooLarge();
  contents.resize(used);
  return contents;
}

Status writeFileAtomically(const std::filesystem::path& path, std::string_view contents,
                           mode_t mode) {
  const std::filesystem::path folder = path.parent_path();
  const std::filesystem::path temporary =
      folder / ("." + path.filename().native() + "." + Uuid::random().toString() + ".tmp");
  UniqueFd fd(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd) return systemError("create", temporary.native(), errno);

  auto fail = [&](Error error) -> Status {
    fd.reset();
    ::unlink(temporary.c_str());
    return error;
  };
  if (Status s = writeAll(fd.get(), contents, temporary); !s.ok()) return fail(s.error());
  // The umask may have narrowed the mode given to open.
  if (::fchmod(fd.get(), mode) != 0) return fail(systemError("chmod", temporary.native(), errno));
  if (::fsync(fd.get()) != 0) return fail(systemError("sync", temporary.native(), errno));
  if (::close(fd.release()) != 0) return fail(systemError("close", temporary.native(), errno));
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    return fail(systemError("rename to", path.native(), errno));
  }
  syncFolder(folder);
  return Status::success();
}

Status createDirectories(const std::filesystem::path& path, mode_t mode) {
  std::filesystem::path folder;
  for (const std::filesystem::path& part : path) {
    folder /= part;
    if (::mkdir(folder.c_str(), mode) == 0) continue;
    if (errno != EEXIST) return systemError("create folder", folder.native(), errno);
    struct stat existing {};
    if (::stat(folder.c_str(), &existing) != 0) {
      return systemError("create folder", folder.native(), errno);
    }
    if (!S_ISDIR(existing.st_mode)) return systemError("create folder", folder.native(), ENOTDIR);
  }
  return Status::success();
}

Status createFileExclusively(const std::filesystem::path& path, mode_t mode) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd) return systemError("create", path.native(), errno);
  if (::fchmod(fd.get(), mode) != 0) return systemError("chmod", path.native(), errno);
  return Status::success();
}

Status removeFile(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) != 0) return systemError("remove", path.native(), errno);
  return Status::success();
}

}  // namespace varn::platform
