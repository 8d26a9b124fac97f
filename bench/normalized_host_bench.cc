// normalizedHost over a mixed corpus of site entries; items/s counts entries.
#include <benchmark/benchmark.h>

#include "bench_files.h"
#include "schedule/mode_rule_builder.h"

namespace varn::bench {
namespace {

void BM_NormalizedHost(benchmark::State& state) {
  const std::vector<std::string>& corpus = hostCorpus();
  for (auto _ : state) {
    for (const std::string& entry : corpus) {
      benchmark::DoNotOptimize(ModeRuleBuilder::normalizedHost(entry));
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * corpus.size()));
}

BENCHMARK(BM_NormalizedHost)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace varn::bench
