#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace varn::reliability {

// The main application's side of the lock-file protocol, written from the README alone with
// plain system calls and none of the helper's own file code, so that a test run against the
// helper's store shows that the two sides, as documented, exclude each other.

// flock(`operation`) on "<file>.lock", held for the life of the object. The lock file is opened
// read-only, close-on-exec, without following links; without O_CREAT first, then created
// exclusively (mode 0644) only when missing.
class ProtocolLock {
 public:
  ProtocolLock(const std::filesystem::path& file, int operation);
  ~ProtocolLock();
  ProtocolLock(const ProtocolLock&) = delete;
  ProtocolLock& operator=(const ProtocolLock&) = delete;

  bool held() const { return fd_ >= 0; }
  // Why the lock could not be had.
  const std::string& error() const { return error_; }

 private:
  int fd_ = -1;
  std::string error_;
};

// A rules file as a reader finds it.
struct FileContent {
  bool present = false;
  std::string bytes;
  std::string error;  // a failure other than absence
};

// Reads the whole file; absence is no error.
FileContent readRulesFile(const std::filesystem::path& file);
// Replaces the file atomically: a new file beside it, then rename. "" or what failed.
std::string replaceRulesFile(const std::filesystem::path& file, std::string_view bytes);
// Deletes the file; absence is no error. "" or what failed.
std::string deleteRulesFile(const std::filesystem::path& file);

}  // namespace varn::reliability
