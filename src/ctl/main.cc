// varnctl: says what the helper sees and what its next pass would do. `varnctl status [--json]`;
// exit status 0 when it found no problem, 1 when it found problems, 2 for bad usage.
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string_view>

#include "ctl/status_facts.h"
#include "platform/log.h"
#include "platform/sd_bus_workspace.h"
#include "platform/sd_event_run_loop.h"
#include "platform/write_confinement.h"

namespace {

// How long the bus may take to answer the main application's look-ups, connecting included; a
// bus answers within milliseconds.
constexpr std::chrono::seconds kBusTimeout{2};

constexpr std::string_view kUsage =
    "Usage: varnctl status [--json]\n"
    "Shows what the VarnHelper user service sees and what its next evaluation pass would do.\n"
    "  --json     one JSON object instead of lines for a person\n"
    "  -h, --help this text\n"
    "Exit status: 0 no problem found, 1 problems found, 2 bad usage.\n";

// The helper's components log their failures; here those failures are part of the report, and
// the journal is not written to.
class DiscardingSink final : public varn::platform::LogSink {
 public:
  void write(const varn::platform::LogEntry&) override {}
};

int usageError(std::string_view message) {
  (void)std::fprintf(stderr, "varnctl: %.*s\n%.*s", static_cast<int>(message.size()),
                     message.data(), static_cast<int>(kUsage.size()), kUsage.data());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace varn;
  bool json = false;
  bool status = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "-h" || argument == "--help") {
      (void)std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
      return 0;
    }
    if (argument == "--json") {
      json = true;
    } else if (argument == "status" && !status) {
      status = true;
    } else {
      return usageError(argument.starts_with("-") ? "unknown option " + std::string(argument)
                                                  : "unexpected " + std::string(argument));
    }
  }
  if (!status) return usageError("no command given");

  // It only reads: where the kernel offers Landlock, it keeps itself to that. Done before
  // anything is opened, and there are no other threads to escape it.
  (void)platform::WriteConfinement::apply({});
  platform::setLogSink(std::make_shared<DiscardingSink>());

  auto loop = platform::SdEventRunLoop::create();
  if (!loop.ok()) {
    (void)std::fprintf(stderr, "varnctl: %s\n", loop.error().message.c_str());
    return 1;
  }
  sd_event* event = loop.value()->event();
  platform::SdBusWorkspace workspace(event, std::nullopt, kBusTimeout);
  const auto turnLoopUntil = [event](const std::function<bool()>& answered) {
    const auto deadline = std::chrono::steady_clock::now() + kBusTimeout;
    while (!answered() && std::chrono::steady_clock::now() < deadline) {
      (void)sd_event_run(event, 100'000);
    }
  };
  const platform::UserZoneFinding zone = platform::findUserZone();
  const StoreLocations locations = StoreLocations::production();
  const ctl::StatusFacts facts =
      ctl::gatherFacts({locations, platform::systemClock(), platform::mainBundleInfo(), workspace,
                        turnLoopUntil, zone});
  const ctl::StatusReport report = ctl::assessStatus(facts, *zone.calendar);
  const std::string text = json ? ctl::renderJson(facts, report, *zone.calendar)
                                : ctl::renderText(facts, report, *zone.calendar);
  // A report that did not reach its reader is no "all is well".
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    return 1;
  }
  return report.problems.empty() ? 0 : 1;
}
