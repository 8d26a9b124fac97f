#include "proc_stats.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace varn::bench {
namespace {

namespace fs = std::filesystem;

// The number after "<key>:" in a "Key:   123 kB" style file, or 0.
std::int64_t field(const fs::path& file, const std::string& key) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(key + ":")) return std::stoll(line.substr(key.size() + 1));
  }
  return 0;
}

// utime + stime: fields 14 and 15, counted after the command name, which may hold blanks and
// is closed by the last ')'.
std::int64_t cpuTicks(const fs::path& statFile) {
  std::ifstream in(statFile);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = all.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(all.substr(close + 2));
  std::string value;
  std::int64_t ticks = 0;
  for (int field = 3; rest >> value; ++field) {
    if (field == 14 || field == 15) ticks += std::stoll(value);
    if (field == 15) break;
  }
  return ticks;
}

}  // namespace

std::optional<ProcessSample> sampleProcess(pid_t pid) {
  const fs::path proc = fs::path("/proc") / std::to_string(pid);
  const fs::path status = proc / "status";
  std::error_code ec;
  if (!fs::exists(status, ec)) return std::nullopt;

  ProcessSample s;
  s.rssKiB = field(status, "VmRSS");
  s.peakRssKiB = field(status, "VmHWM");
  s.anonKiB = field(status, "RssAnon");
  s.fileKiB = field(status, "RssFile");
  s.pssKiB = field(proc / "smaps_rollup", "Pss");
  s.privateKiB =
      field(proc / "smaps_rollup", "Private_Clean") + field(proc / "smaps_rollup", "Private_Dirty");
  s.cpuTicks = cpuTicks(proc / "stat");
  for (const fs::directory_entry& task : fs::directory_iterator(proc / "task", ec)) {
    ++s.threads;
    s.voluntarySwitches += field(task.path() / "status", "voluntary_ctxt_switches");
    s.involuntarySwitches += field(task.path() / "status", "nonvoluntary_ctxt_switches");
    std::ifstream schedstat(task.path() / "schedstat");
    std::int64_t runNs = 0;
    if (schedstat >> runNs) s.cpuNs += runNs;
  }
  if (ec || s.threads == 0) return std::nullopt;
  return s;
}

std::vector<MappingResidence> residenceByMapping(pid_t pid) {
  std::ifstream in(fs::path("/proc") / std::to_string(pid) / "smaps");
  std::map<std::string, MappingResidence> byName;
  MappingResidence* current = nullptr;
  for (std::string line; std::getline(in, line);) {
    // A mapping's header line: "start-end perms offset dev inode [name]"; field lines start
    // with a capitalised key and a colon.
    std::istringstream fields(line);
    std::string first;
    fields >> first;
    if (first.find('-') != std::string::npos && first.back() != ':') {
      std::string perms, offset, device, inode, name;
      fields >> perms >> offset >> device >> inode;
      std::getline(fields >> std::ws, name);
      if (name.empty()) name = "[unnamed]";
      current = &byName[name];
      current->name = name;
    } else if (current != nullptr && first == "Rss:") {
      std::int64_t kib = 0;
      fields >> kib;
      current->rssKiB += kib;
    } else if (current != nullptr && first == "Anonymous:") {
      std::int64_t kib = 0;
      fields >> kib;
      current->anonKiB += kib;
    }
  }
  std::vector<MappingResidence> result;
  for (auto& [name, residence] : byName) {
    if (residence.rssKiB > 0) result.push_back(std::move(residence));
  }
  std::sort(result.begin(), result.end(), [](const MappingResidence& a, const MappingResidence& b) {
    return a.rssKiB > b.rssKiB;
  });
  return result;
}

}  // namespace varn::bench
