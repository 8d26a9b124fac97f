#include "platform/testing/process_descriptors.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace varn::platform::testing {

size_t openDescriptorCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

size_t inotifyWatchCount() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fdinfo")) {
    std::ifstream info(entry.path());
    for (std::string line; std::getline(info, line);) {
      if (line.starts_with("inotify wd:")) ++count;
    }
  }
  return count;
}

}  // namespace varn::platform::testing
