#include "platform/user_zone.h"

#include <date/tz.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <system_error>

#include "platform/files.h"
#include "platform/log.h"
#include "platform/result.h"

namespace varn::platform {
namespace {

// Where the tz database keeps one file per zone, named like the zone.
constexpr std::string_view kZoneFolder = "/usr/share/zoneinfo/";
// Zone files take a few KiB; a larger localtime is no zone file and is not read.
constexpr size_t kMaxZoneFileSize = 1 << 20;
// /etc/timezone holds one name.
constexpr size_t kMaxTimezoneFileSize = 4096;

const Logger& calendarLog() {
  static const Logger log("com.varn.macos", "calendar");
  return log;
}

// Appends what `text()` says to `why`, when the caller asked why; the text is built only then,
// so that a source that keeps failing costs nothing more on every call.
template <typename Text>
void explain(std::string* why, const Text& text) {
  if (!why) return;
  if (!why->empty()) *why += "; ";
  *why += text();
}

// "<path> does not exist" for a missing file, otherwise the error's own message.
std::string readError(std::string_view path, const Error& error) {
  if (error.systemError == ENOENT) return std::string(path) + " does not exist";
  return error.message;
}

// The text of the link at `path`, or nothing when it is no link.
std::optional<std::string> linkTarget(const char* path) {
  char buffer[PATH_MAX];
  const ssize_t length = ::readlink(path, buffer, sizeof buffer);
  if (length <= 0 || static_cast<size_t>(length) == sizeof buffer) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(length));
}

// The zone a localtime link leads to, read as the tz library reads it: the part of the resolved
// path after its last "zoneinfo/". nullptr when that names no zone of the database.
const date::time_zone* zoneBehindLink(const char* path) {
  char resolved[PATH_MAX];
  if (::realpath(path, resolved) == nullptr) return nullptr;
  const std::string_view full(resolved);
  constexpr std::string_view kFolder = "zoneinfo/";
  const size_t at = full.rfind(kFolder);
  if (at == std::string_view::npos) return nullptr;
  return zoneNamed(full.substr(at + kFolder.size()));
}

// The first zone of the database whose file holds exactly `bytes`, or nullptr. Only files of the
// same size are read. Zones with equal files (UTC and Etc/UTC, say) have equal rules, so which of
// them answers makes no difference to the calendar.
const date::time_zone* zoneWithBytes(const std::string& bytes) {
  std::string path(kZoneFolder);
  for (const date::time_zone& zone : date::get_tzdb().zones) {
    path.resize(kZoneFolder.size());
    path += zone.name();
    struct stat status;
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<size_t>(status.st_size) != bytes.size()) {
      continue;
    }
    const Result<std::string> candidate = readWholeFile(path, bytes.size());
    if (candidate.ok() && candidate.value() == bytes) return &zone;
  }
  return nullptr;
}

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

}  // namespace

const date::time_zone* zoneNamed(std::string_view name) noexcept {
  if (name.empty()) return nullptr;
  try {
    return date::locate_zone(name);
  } catch (...) {  // an unknown name, or no readable database
    return nullptr;
  }
}

UserZone::UserZone(const std::filesystem::path& root)
    : localtime_(root / "etc/localtime"), timezone_(root / "etc/timezone") {}

UserZone::FileVersion UserZone::versionOf(const struct stat& status) {
  return {status.st_dev, status.st_ino, status.st_size, status.st_mtim.tv_sec,
          status.st_mtim.tv_nsec};
}

const date::time_zone* UserZone::find() const noexcept {
  try {
    std::lock_guard lock(mutex_);
    if (const date::time_zone* zone = lookUp(nullptr)) {
      reportedUtc_ = false;
      return zone;
    }
    if (reportedUtc_) return nullptr;
    // Asked again to say why; the answers are remembered, so this reads nothing new unless a
    // source changed meanwhile, and then its zone is taken.
    std::string why;
    if (const date::time_zone* zone = lookUp(&why)) return zone;
    reportedUtc_ = true;
    calendarLog().error("No time zone found, using UTC: %{public}s", {why});
  } catch (...) {  // std::bad_alloc, or a tz database that cannot be read
  }
  return nullptr;
}

UserZone::Finding UserZone::describe() const noexcept {
  Finding finding;
  try {
    std::lock_guard lock(mutex_);
    finding.zone = lookUp(&finding.whyNone, &finding.source);
    if (finding.zone) finding.whyNone.clear();
  } catch (...) {  // std::bad_alloc, or a tz database that cannot be read
    finding.zone = nullptr;
  }
  if (!finding.zone) finding.source = "none";
  return finding;
}

const date::time_zone* UserZone::lookUp(std::string* why, std::string* source) const {
  const auto from = [source](const char* name, const date::time_zone* zone) {
    if (zone && source) *source = name;
    return zone;
  };
  if (const date::time_zone* zone = from("TZ", tzZone(why))) return zone;
  if (const date::time_zone* zone = from("/etc/localtime", localtimeZone(why))) return zone;
  return from("/etc/timezone", timezoneFileZone(why));
}

const date::time_zone* UserZone::tzZone(std::string* why) const {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the helper never sets a variable; reads do not race.
  const char* variable = std::getenv("TZ");
  if (!variable) {
    explain(why, [] { return "TZ is not set"; });
    return nullptr;
  }
  std::string_view name = variable;
  if (name.starts_with(':')) name.remove_prefix(1);
  if (!tz_ || tz_->first != name) tz_.emplace(std::string(name), zoneNamed(name));
  if (!tz_->second) explain(why, [&] { return "TZ names no known zone ('" + tz_->first + "')"; });
  return tz_->second;
}

std::optional<UserZone::LinkVersion> UserZone::linkVersion() const {
  std::optional<std::string> target = linkTarget(localtime_.c_str());
  if (!target) return std::nullopt;
  struct stat status {};
  if (::stat(localtime_.c_str(), &status) != 0) return LinkVersion{std::move(*target)};
  return LinkVersion{std::move(*target), status.st_dev, status.st_ino};
}

const date::time_zone* UserZone::localtimeZone(std::string* why) const {
  const std::optional<LinkVersion> link = linkVersion();
  if (link) {
    const date::time_zone* zone = nullptr;
    if (link_ && link_->first == *link) {
      zone = link_->second;
    } else {
      zone = zoneBehindLink(localtime_.c_str());
      // Kept only when the link did not change while it was resolved. A link that names no zone
      // is remembered too: the file it leads to is then compared as a copy, which notices when
      // that file appears or changes.
      if (linkVersion() == link) link_.emplace(*link, zone);
    }
    if (zone) return zone;
  }
  return copiedZone(link ? std::optional<std::string>(link->target) : std::nullopt, why);
}

const date::time_zone* UserZone::copiedZone(const std::optional<std::string>& target,
                                            std::string* why) const {
  const auto subject = [&] {
    return target ? localtime_ + " (a link to '" + *target + "')" : localtime_;
  };
  struct stat status;
  if (::stat(localtime_.c_str(), &status) != 0) {
    const int error = errno;
    explain(why, [&] {
      return subject() +
             (error == ENOENT ? " does not exist" : ": " + std::generic_category().message(error));
    });
    return nullptr;
  }
  if (!S_ISREG(status.st_mode)) {
    explain(why, [&] { return subject() + " is not a regular file"; });
    return nullptr;
  }
  const FileVersion version = versionOf(status);
  if (!copy_ || copy_->first != version) {
    // Keyed on the version seen before reading: a change during the read or after it gives the
    // file another version, so it is read again next time.
    const Result<std::string> bytes = readWholeFile(localtime_, kMaxZoneFileSize);
    if (!bytes.ok()) {
      explain(why, [&] { return readError(localtime_, bytes.error()); });
      return nullptr;
    }
    copy_.emplace(version, zoneWithBytes(bytes.value()));
  }
  if (!copy_->second) {
    explain(why, [&] { return subject() + " holds the data of no zone in the database"; });
  }
  return copy_->second;
}

const date::time_zone* UserZone::timezoneFileZone(std::string* why) const {
  const Result<std::string> contents = readWholeFile(timezone_, kMaxTimezoneFileSize);
  if (!contents.ok()) {
    explain(why, [&] { return readError(timezone_, contents.error()); });
    return nullptr;
  }
  const std::string_view text = contents.value();
  const std::string_view name = trimmed(text.substr(0, text.find('\n')));
  const date::time_zone* zone = zoneNamed(name);
  if (!zone) {
    explain(why, [&] { return timezone_ + " names no known zone ('" + std::string(name) + "')"; });
  }
  return zone;
}

}  // namespace varn::platform
