// varn_bench: Google Benchmark's own flags apply (--benchmark_filter, --benchmark_format=json,
// ...). Log entries are dropped, so that writing them to stderr does not become what is timed.
#include <benchmark/benchmark.h>

#include <memory>

#include "platform/log.h"

namespace {

class DiscardingSink final : public varn::platform::LogSink {
 public:
  void write(const varn::platform::LogEntry&) override {}
};

}  // namespace

int main(int argc, char** argv) {
  varn::platform::setLogSink(std::make_shared<DiscardingSink>());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
