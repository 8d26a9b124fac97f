#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "shared/blocking_rules.h"
#include "shared/focus_schedule.h"
#include "shared/mode.h"

// The user files the benchmarks and the footprint probe feed the helper: made up, but shaped
// like what the main application writes. Deterministic, so two runs measure the same bytes.
namespace varn::bench {

struct FileSizes {
  const char* name;
  int modes;
  int sitesPerMode;
  int schedules;
};

// What a heavy user has: ten modes of fifty sites, ten schedules.
inline constexpr FileSizes kRealistic{"realistic", 10, 50, 10};
// Far beyond any user, to show how the cost grows.
inline constexpr FileSizes kLarge{"large", 1000, 100, 10000};

// Modes alternating block and mission (the first is a block mode), their sites in the forms
// people type (plain hosts, "www.", upper case, URLs with paths, host and port), each with a few
// apps that have companion hosts and one browser.
std::vector<Mode> makeModes(const FileSizes& sizes);

// `sizes.schedules` enabled schedules naming the modes in turn, all on every weekday from
// `startMinutes` to `endMinutes`.
std::vector<FocusSchedule> makeSchedules(const FileSizes& sizes, const std::vector<Mode>& modes,
                                         std::int64_t startMinutes, std::int64_t endMinutes);

// A session of `hosts` hosts that ends at `endsAt`.
BlockingRules makeRules(int hosts, platform::Instant endsAt);

// A mixed corpus of site entries for normalizedHost: plain, decorated, URLs, ports, IPv6,
// non-ASCII, blank and malformed.
const std::vector<std::string>& hostCorpus();

}  // namespace varn::bench
