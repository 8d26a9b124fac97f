#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace varn::fuzz {

// Stops the run when a property does not hold: prints what failed and the values involved, then
// aborts, which libFuzzer reports as a crash and saves the input that caused it.
inline void check(bool holds, std::string_view property, std::string_view detail = {}) {
  if (holds) return;
  std::fprintf(stderr, "\nproperty violated: %.*s\n%.*s\n", int(property.size()), property.data(),
               int(detail.size()), detail.data());
  std::abort();
}

// The fuzzer's bytes as text.
inline std::string_view asText(const unsigned char* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace varn::fuzz
