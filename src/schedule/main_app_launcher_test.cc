#include "schedule/main_app_launcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

#include "platform/sd_bus_workspace.h"
#include "platform/sd_event_run_loop.h"
#include "platform/testing/memory_log_sink.h"
#include "support/private_session_bus.h"

namespace varn {
namespace {

using namespace std::chrono_literals;
using platform::BundleInfo;

constexpr const char* kMainApp = "com.varn.macos";

TEST(ResolveMainAppBundleIdentifier, FollowsTheKeyThenTheHelperSuffixRule) {
  using O = std::optional<std::string>;
  const std::tuple<O, O, O> cases[] = {
      // key, own identifier, main application
      {"com.example.app", "com.varn.macos.helper", "com.example.app"},  // a set key wins
      {"$(MAIN_APP_ID)", "com.varn.macos.helper", "com.varn.macos"},    // left unexpanded
      {"", "com.varn.macos.helper", "com.varn.macos"},
      {"x$(y", std::nullopt, "x$(y"},                                    // only a leading "$("
      {std::nullopt, "com.varn.macos.Helper", "com.varn.macos.Helper"},  // suffix case-sensitive
      {std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& [key, own, expected] : cases) {
    EXPECT_EQ(resolveMainAppBundleIdentifier(BundleInfo{own, key}), expected) << key.value_or("-");
  }
}

// The real workspace on a bus of the test's own, so that "running" is what the bus says.
TEST(LaunchMainApp, OpensTheAppWhenItIsNotRunningAndLogsTheOutcome) {
  support::PrivateSessionBus bus;
  bus.addService(kMainApp, VARN_FAKE_MAIN_APP);
  bus.addService("com.varn.failing", "/bin/false");
  std::string error;
  if (!bus.start(&error)) GTEST_SKIP() << error;
  auto loop = platform::SdEventRunLoop::create();
  ASSERT_TRUE(loop.ok());
  sd_event* event = loop.value()->event();
  platform::SdBusWorkspace workspace(event, bus.address(), 2s);
  platform::SdBusWorkspace nowhere(event, "unix:path=/nonexistent/bus");  // no session bus
  platform::testing::ScopedMemoryLog log;
  // Turns the loop until something is logged, then until the connections are released.
  const auto settle = [&](std::chrono::milliseconds limit = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (log->entries().empty() && std::chrono::steady_clock::now() < deadline) {
      sd_event_run(event, 100'000);
    }
    while (sd_event_run(event, 0) > 0) continue;
    return log->lines();
  };
  const auto launch = [&](const BundleInfo& bundle, platform::Workspace* at = nullptr,
                          std::chrono::milliseconds limit = 60s) {
    log->clear();
    launchMainApp(at ? *at : workspace, bundle);
    return settle(limit);
  };
  const BundleInfo helper{"com.varn.macos.helper", std::nullopt};
  const std::tuple<BundleInfo, platform::Workspace*, std::string> cases[] = {
      {BundleInfo{}, nullptr, "error: Failed to resolve main app bundle identifier for scheduled"},
      {BundleInfo{"h", "com.varn.missing"}, nullptr,
       "error: Failed to locate main app 'com.varn.m"},
      {BundleInfo{"h", "com.varn.failing"}, nullptr, "error: Failed to launch main app for sched"},
      {helper, &nowhere, "error: Failed to locate main app 'com.varn.macos' for scheduled"},
      {helper, nullptr, "default: Launched main app for scheduled session enforcement"},
  };
  for (const auto& [bundle, at, outcome] : cases) {
    const std::vector<std::string> lines = launch(bundle, at);
    ASSERT_EQ(lines.size(), 1u) << outcome;
    EXPECT_TRUE(lines[0].starts_with(outcome)) << lines[0];
    EXPECT_EQ(lines[0].find("<private>"), std::string::npos) << lines[0];  // all of it public
  }
  // Running now: an open sent anyway would be answered (the name is owned) and logged.
  EXPECT_TRUE(launch(helper, nullptr, 2s).empty());

  // A bus that never answers: the launch returns at once and fails at the reply timeout.
  bus.freeze(true);
  log->clear();
  launchMainApp(workspace, helper);
  EXPECT_TRUE(log->entries().empty()) << log->lines()[0];
  EXPECT_EQ(settle(), std::vector<std::string>{"error: Failed to launch main app for scheduled "
                                               "session: NameHasOwner: Connection timed out"});
}

}  // namespace
}  // namespace varn
