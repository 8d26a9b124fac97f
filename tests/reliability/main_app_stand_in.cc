#include "main_app_stand_in.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace varn::reliability {
namespace {

std::string failure(const char* what, const std::filesystem::path& path) {
  return std::string(what) + " " + path.native() + ": " + std::strerror(errno);
}

}  // namespace

ProtocolLock::ProtocolLock(const std::filesystem::path& file, int operation) {
  const std::string lock = file.native() + ".lock";
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW;
  for (int attempt = 0; attempt < 8 && fd_ < 0; ++attempt) {
    fd_ = ::open(lock.c_str(), kFlags);
    if (fd_ >= 0 || errno != ENOENT) break;
    fd_ = ::open(lock.c_str(), kFlags | O_CREAT | O_EXCL, 0644);
    if (fd_ < 0 && errno != EEXIST) break;
  }
  if (fd_ < 0) {
    error_ = failure("open", lock);
    return;
  }
  while (::flock(fd_, operation) != 0) {
    if (errno == EINTR) continue;
    error_ = failure("flock", lock);
    ::close(fd_);
    fd_ = -1;
    return;
  }
}

ProtocolLock::~ProtocolLock() {
  if (fd_ >= 0) ::close(fd_);
}

FileContent readRulesFile(const std::filesystem::path& file) {
  FileContent content;
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno != ENOENT) content.error = failure("open", file);
    return content;
  }
  content.present = true;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) content.error = failure("read", file);
    if (n <= 0) break;
    content.bytes.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return content;
}

std::string replaceRulesFile(const std::filesystem::path& file, std::string_view bytes) {
  const std::string temporary = file.parent_path() / ("." + file.filename().native() +
                                                      ".stand-in-" + std::to_string(::getpid()));
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return failure("create", temporary);
  const bool written =
      ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  std::string error = written ? "" : failure("write", temporary);
  if (::close(fd) != 0 && error.empty()) error = failure("close", temporary);
  if (error.empty() && ::rename(temporary.c_str(), file.c_str()) != 0) {
    error = failure("rename to", file);
  }
  if (!error.empty()) ::unlink(temporary.c_str());
  return error;
}

std::string deleteRulesFile(const std::filesystem::path& file) {
  if (::unlink(file.c_str()) != 0 && errno != ENOENT) return failure("remove", file);
  return "";
}

}  // namespace varn::reliability
