// Decoding each file type from bytes already in memory, at realistic and at large size.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>

#include "bench_files.h"

namespace varn::bench {
namespace {

using namespace std::chrono;

template <typename Decode>
void measureDecoding(benchmark::State& state, const std::string& bytes, Decode decode) {
  for (auto _ : state) {
    auto decoded = decode(bytes);
    if (!decoded.ok()) std::abort();  // a broken generator would make the figure meaningless
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.counters["bytes"] = static_cast<double>(bytes.size());
}

void BM_DecodeModes(benchmark::State& state, FileSizes sizes) {
  measureDecoding(state, encodeModes(makeModes(sizes)), decodeModes);
}

void BM_DecodeSchedules(benchmark::State& state, FileSizes sizes) {
  const std::string bytes = encodeFocusSchedules(makeSchedules(sizes, makeModes(sizes), 540, 720));
  measureDecoding(state, bytes, decodeFocusSchedules);
}

// A rules file holds the hosts of one mode: its sites and a few companion hosts.
void BM_DecodeBlockingRules(benchmark::State& state, FileSizes sizes) {
  const std::string bytes =
      encodeBlockingRules(makeRules(sizes.sitesPerMode, sys_days(year(2026) / 3 / 2) + hours(12)));
  measureDecoding(state, bytes, decodeBlockingRules);
}

BENCHMARK_CAPTURE(BM_DecodeModes, realistic, kRealistic);
BENCHMARK_CAPTURE(BM_DecodeModes, large, kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeSchedules, realistic, kRealistic);
BENCHMARK_CAPTURE(BM_DecodeSchedules, large, kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeBlockingRules, realistic, kRealistic);
BENCHMARK_CAPTURE(BM_DecodeBlockingRules, large, kLarge);

}  // namespace
}  // namespace varn::bench
