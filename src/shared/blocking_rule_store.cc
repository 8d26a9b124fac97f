#include "shared/blocking_rule_store.h"

#include <cerrno>

#include "platform/file_coordination.h"
#include "platform/files.h"
#include "platform/log.h"
#include "shared/user_data_file.h"

namespace varn {
namespace {

namespace fs = std::filesystem;

const platform::Logger& logger() {
  static const platform::Logger instance("com.varn.macos", "blocking-rule-store");
  return instance;
}

constexpr const char* kContainerRulesFileName = "blocking-rules.json";

}  // namespace

std::optional<fs::path> BlockingRuleStore::containerRulesFileURL() const {
  return locations_.containerFile(kContainerRulesFileName);
}

std::vector<fs::path> BlockingRuleStore::rulesFileURLs() const {
  std::vector<fs::path> urls{sharedRulesFileURL()};
  if (auto container = containerRulesFileURL()) urls.push_back(std::move(*container));
  return urls;
}

Result<std::optional<BlockingRules>> BlockingRuleStore::decodeFile(const fs::path& location) {
  return readDecodedFile<BlockingRules>(location, platform::kRulesFileSizeLimit,
                                        &decodeBlockingRules);
}

std::optional<BlockingRules> BlockingRuleStore::readRules(const fs::path& location,
                                                          bool* absent) const {
  Result<std::optional<BlockingRules>> read = decodeFile(location);
  if (!read.ok()) {
    logger().error("Failed to decode blocking rules: %s", {read.error().message});
    return std::nullopt;
  }
  if (!read.value() && absent) *absent = true;
  return std::move(read).value();
}

std::optional<BlockingRules> BlockingRuleStore::load() const {
  for (const fs::path& location : rulesFileURLs()) {
    bool absent = false;
    if (auto rules = readRules(location, &absent)) return rules;
    if (absent) continue;
    // The plain read may have met a half-finished write by another process; try again under
    // the lock.
    std::optional<BlockingRules> coordinated;
    Status status = platform::coordinateReading(
        location, [&](const fs::path& at) { coordinated = readRules(at); });
    if (!status.ok()) {
      logger().error("File coordination error during load: %s", {status.error().message});
    }
    if (coordinated) return coordinated;
  }
  return std::nullopt;
}

BlockingRuleStore::Peek BlockingRuleStore::peek() const {
  Peek peek;
  for (const fs::path& location : rulesFileURLs()) {
    Result<std::optional<BlockingRules>> read = decodeFile(location);
    if (!read.ok()) {
      peek.unreadable.emplace_back(location, read.error());
    } else if (read.value()) {
      peek.found.emplace(location, std::move(*std::move(read).value()));
      break;
    }
  }
  return peek;
}

Status BlockingRuleStore::save(const BlockingRules& rules) const {
  const fs::path& location = sharedRulesFileURL();
  if (Status prepared = prepareSharedFile(location); !prepared.ok()) return prepared;
  const std::string bytes = encodeBlockingRules(rules);

  std::optional<Error> writeError;
  Status coordination = platform::coordinateWriting(location, [&](const fs::path& at) {
    Status written = platform::writeFileAtomically(at, bytes, 0644);
    if (!written.ok()) {
      writeError = written.error();
      logger().error("Failed to save blocking rules: %s", {written.error().message});
    }
  });
  if (writeError) return *writeError;
  if (!coordination.ok()) {
    logger().error("File coordination error during save: %s. Falling back to direct atomic write.",
                   {coordination.error().message});
    return platform::writeFileAtomically(location, bytes, 0644);
  }
  return Status::success();
}

Status BlockingRuleStore::prepareSharedFile(const fs::path& location) const {
  if (Status folder = platform::createDirectories(location.parent_path()); !folder.ok()) {
    return folder;
  }
  if (platform::fileExists(location)) return Status::success();
  Status created = platform::createFileExclusively(location, 0644);
  if (created.ok() || platform::fileExists(location)) return Status::success();
  return Error{
      "The file " + location.native() + " could not be created (" + created.error().message + ")",
      created.error().systemError};
}

void BlockingRuleStore::clearIfExpired() const {
  // One lock wait for the whole sweep, not one per file: the watcher's stop() waits for a sweep
  // in progress, and two locks held by others must not make that two waits.
  const platform::LockDeadline deadline =
      std::chrono::steady_clock::now() + platform::kLockWaitLimit;
  for (const fs::path& location : rulesFileURLs()) clearIfExpired(location, deadline);
}

void BlockingRuleStore::clearIfExpired(const fs::path& location,
                                       platform::LockDeadline deadline) const {
  if (!platform::fileExists(location)) return;
  Status status = platform::coordinateWriting(
      location,
      [&](const fs::path& at) {
        Result<std::string> bytes = platform::readWholeFile(at, platform::kRulesFileSizeLimit);
        if (!bytes.ok()) return;
        Result<BlockingRules> rules = decodeBlockingRules(bytes.value());
        if (!rules.ok() || rules.value().isActive(clock_.now())) return;
        if (Status removed = platform::removeFile(at); !removed.ok()) {
          // Someone who does not take the lock removed it first: nothing left to do.
          if (removed.error().systemError == ENOENT) return;
          // Reported rather than claimed as cleared; the next sweep tries again.
          logger().error("Failed to remove expired blocking rules: %s", {removed.error().message});
          return;
        }
        logger().debug("Cleared expired blocking rules atomically");
      },
      deadline);
  if (!status.ok()) {
    logger().error("File coordination error during clearIfExpired: %s", {status.error().message});
  }
}

}  // namespace varn
