#pragma once

#include <cstddef>

namespace varn::platform::testing {

// How many descriptors this process has open (from /proc/self/fd).
size_t openDescriptorCount();
// How many inotify watches this process holds (from /proc/self/fdinfo).
size_t inotifyWatchCount();

}  // namespace varn::platform::testing
