#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace date {
class time_zone;
}  // namespace date

namespace varn::platform {

// The zone the tz database knows as `name`, or nullptr (also when the database cannot be read).
const date::time_zone* zoneNamed(std::string_view name) noexcept;

// Finds the user's time zone, for the user's calendar (calendar.h gives the order of the sources
// it asks). Cheap enough to ask on every call: the tz database is read once per process, and the
// answer for a TZ value, a localtime link (its text and the file it leads to) or a localtime
// file's version is remembered until that value, link or version changes. Safe to call from any
// thread.
class UserZone {
 public:
  // Reads `root`/etc/localtime and `root`/etc/timezone; "/" for the system's.
  explicit UserZone(const std::filesystem::path& root);
  UserZone(const UserZone&) = delete;
  UserZone& operator=(const UserZone&) = delete;

  // The zone, owned by the tz database; nullptr stands for UTC, when no source names a zone. The
  // first nullptr after a zone (or after construction) writes one error entry saying why.
  const date::time_zone* find() const noexcept;

  // The zone as find() gives it, with the source that named it ("TZ", "/etc/localtime" or
  // "/etc/timezone"), or nullptr, "none" and what each source lacked. Logs nothing.
  struct Finding {
    const date::time_zone* zone = nullptr;
    std::string source;
    std::string whyNone;
  };
  Finding describe() const noexcept;

 private:
  // What tells one version of a file from the next: a replaced file has another inode, a file
  // rewritten in place another size or modification time.
  struct FileVersion {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modifiedSeconds = 0;
    long modifiedNanoseconds = 0;
    bool operator==(const FileVersion&) const = default;
  };
  static FileVersion versionOf(const struct stat& status);
  // What tells one localtime link from the next: its text, and the file at the end of its chain
  // (a link further along may change while the first keeps its text).
  struct LinkVersion {
    std::string target;
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const LinkVersion&) const = default;
  };
  std::optional<LinkVersion> linkVersion() const;

  // Each source in turn; when `why` is given and a source yields no zone, appends what it lacked.
  // When `source` is given, it is set to the name of the source that yields the zone.
  const date::time_zone* lookUp(std::string* why, std::string* source = nullptr) const;
  const date::time_zone* tzZone(std::string* why) const;
  const date::time_zone* localtimeZone(std::string* why) const;
  const date::time_zone* copiedZone(const std::optional<std::string>& target,
                                    std::string* why) const;
  const date::time_zone* timezoneFileZone(std::string* why) const;

  const std::string localtime_;
  const std::string timezone_;
  mutable std::mutex mutex_;
  mutable std::optional<std::pair<std::string, const date::time_zone*>> tz_;    // TZ, its zone
  mutable std::optional<std::pair<LinkVersion, const date::time_zone*>> link_;  // link, zone
  mutable std::optional<std::pair<FileVersion, const date::time_zone*>> copy_;  // file, zone
  mutable bool reportedUtc_ = false;
};

}  // namespace varn::platform
