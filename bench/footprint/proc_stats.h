#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varn::bench {

// What /proc tells about one process at one moment, summed over all its threads where that
// applies. Sizes in KiB.
struct ProcessSample {
  std::int64_t rssKiB = 0;      // VmRSS: every resident page, shared library pages included
  std::int64_t peakRssKiB = 0;  // VmHWM: the highest VmRSS so far
  std::int64_t anonKiB = 0;     // RssAnon: heap, stacks, and written library data
  std::int64_t fileKiB = 0;     // RssFile: resident pages of mapped files (libraries, ICU data)
  std::int64_t pssKiB = 0;      // Pss: resident pages, each divided by the processes sharing it
  std::int64_t privateKiB = 0;  // Private_Clean + Private_Dirty: pages no other process maps
  std::int64_t cpuNs = 0;       // time on a CPU, user and system, from each thread's schedstat
  std::int64_t cpuTicks = 0;    // utime + stime in clock ticks, from /proc/<pid>/stat
  std::int64_t voluntarySwitches = 0;    // a thread went to sleep: one per wakeup
  std::int64_t involuntarySwitches = 0;  // a thread was preempted
  int threads = 0;
};

// A sample of the running process `pid`, or nothing once it has gone.
std::optional<ProcessSample> sampleProcess(pid_t pid);

// Resident memory of one mapped file (all its mappings together), or of the heap, the stacks
// and the unnamed mappings.
struct MappingResidence {
  std::string name;
  std::int64_t rssKiB = 0;
  std::int64_t anonKiB = 0;  // of rssKiB: pages written by the process (relocations, heap)
};

// What /proc/<pid>/smaps gives per mapping name, the largest first; empty once it has gone.
std::vector<MappingResidence> residenceByMapping(pid_t pid);

}  // namespace varn::bench
