#include "schedule/main_app_launcher.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <filesystem>

#include "platform/sd_bus_workspace.h"
#include "platform/sd_event_run_loop.h"
#include "platform/testing/memory_log_sink.h"
#include "support/private_session_bus.h"

namespace varn {
namespace {

namespace fs = std::filesystem;
using platform::BundleInfo;

constexpr const char* kMainApp = "com.varn.macos";
constexpr const char* kLaunched = "Launched main app for scheduled session enforcement";
constexpr const char* kLaunchFailed = "Failed to launch main app for scheduled session: %{public}s";
constexpr const char* kNotLocated =
    "Failed to locate main app '%{public}s' for scheduled session launch";

TEST(ResolveMainAppBundleIdentifier, FollowsTheKeyThenTheHelperSuffixRule) {
  using O = std::optional<std::string>;
  const struct {
    O key, own, expected;
  } cases[] = {
      {"com.example.app", "com.varn.macos.helper", "com.example.app"},  // a valid key wins
      {"$(MAIN_APP_ID)", "com.varn.macos.helper", "com.varn.macos"},    // unexpanded variable
      {"$(", "com.varn.macos.helper", "com.varn.macos"},
      {"", "com.varn.macos.helper", "com.varn.macos"},  // empty counts as absent
      {std::nullopt, "com.varn.macos.helper", "com.varn.macos"},
      {std::nullopt, "com.varn.macos.Helper", "com.varn.macos.Helper"},  // suffix is case-sensitive
      {std::nullopt, "com.varn.macos", "com.varn.macos"},                // no suffix: unchanged
      {std::nullopt, ".helper", ""},
      {"x$(y", std::nullopt, "x$(y"},  // only a leading "$("
      {std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(resolveMainAppBundleIdentifier(BundleInfo{c.own, c.key}), c.expected)
        << c.key.value_or("<none>") << " / " << c.own.value_or("<none>");
  }
}

TEST(LaunchMainApp, WithoutAnyIdentifierLogsAndLaunchesNothing) {
  platform::testing::ScopedMemoryLog log;
  auto loop = platform::SdEventRunLoop::create();
  ASSERT_TRUE(loop.ok());
  platform::SdBusWorkspace workspace(loop.value()->event(), "unix:path=/nonexistent/bus");
  launchMainApp(workspace, BundleInfo{});
  EXPECT_EQ(log->lines(), std::vector<std::string>{
                              "error: Failed to resolve main app bundle identifier for scheduled "
                              "session launch"});
}

class LaunchMainAppOnABus : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(loop_.ok());
    bus_.addService(kMainApp, std::string(VARN_FAKE_MAIN_APP) + " " + kMainApp + " " +
                                  (bus_.folder() / "started").native());
    bus_.addService("com.varn.failing", "/bin/false");
    bus_.addService("com.varn.silent", "/bin/sleep 5");
    std::string error;
    if (!bus_.start(&error)) GTEST_SKIP() << error;
    workspace_.emplace(loop_.value()->event(), bus_.address());
  }

  void launch(const char* identifier) {
    launchMainApp(*workspace_, BundleInfo{"com.varn.macos.helper", identifier});
  }

  // Runs the main loop until a log entry arrives or 10 seconds pass, then until nothing more is
  // ready, so that the launcher releases its connection (the leak checker sees it otherwise).
  // Runs the loop until something is logged or `limit` has passed.
  void runUntilLogged(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    sd_event* event = loop_.value()->event();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (log_->entries().empty() && std::chrono::steady_clock::now() < deadline) {
      sd_event_run(event, 100'000);
    }
    while (sd_event_run(event, 0) > 0) {
    }
  }

  support::PrivateSessionBus bus_{1000};
  Result<std::unique_ptr<platform::SdEventRunLoop>> loop_ = platform::SdEventRunLoop::create();
  std::optional<platform::SdBusWorkspace> workspace_;
  platform::testing::ScopedMemoryLog log_;
};

TEST_F(LaunchMainAppOnABus, OpensTheAppWhenItIsNotRunning) {
  ASSERT_FALSE(workspace_->isRunning(kMainApp));
  launch(kMainApp);
  EXPECT_TRUE(log_->entries().empty());  // the outcome comes later, on the loop
  runUntilLogged();
  ASSERT_EQ(log_->count(kLaunched), 1u) << ::testing::PrintToString(log_->lines());
  EXPECT_EQ(log_->entries()[0].level, platform::LogLevel::kDefault);
  EXPECT_TRUE(fs::exists(bus_.folder() / "started"));
  EXPECT_TRUE(workspace_->isRunning(kMainApp));

  // Running now: a second launch does nothing and says nothing.
  log_->clear();
  launch(kMainApp);
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(LaunchMainAppOnABus, LeavesARunningInstanceAlone) {
  sd_bus* owner = nullptr;
  ASSERT_GE(sd_bus_new(&owner), 0);
  sd_bus_set_address(owner, bus_.address().c_str());
  sd_bus_set_bus_client(owner, 1);
  ASSERT_GE(sd_bus_start(owner), 0);
  ASSERT_GE(sd_bus_request_name(owner, kMainApp, 0), 0);
  launch(kMainApp);
  // An open sent anyway would be answered (the name is owned) and logged as a launch.
  runUntilLogged(std::chrono::milliseconds(500));
  EXPECT_TRUE(log_->entries().empty()) << ::testing::PrintToString(log_->lines());
  EXPECT_FALSE(fs::exists(bus_.folder() / "started"));
  sd_bus_flush_close_unref(owner);
}

TEST_F(LaunchMainAppOnABus, ReportsWhatCannotBeLocatedOrStarted) {
  const struct {
    const char* identifier;
    const char* format;
  } cases[] = {
      {"com.varn.missing", kNotLocated},
      {"com.varn.failing", kLaunchFailed},  // the service exits at once
      {"com.varn.silent", kLaunchFailed},   // never takes its name: the bus times out
  };
  for (const auto& c : cases) {
    log_->clear();
    launch(c.identifier);
    runUntilLogged();
    const auto entries = log_->entries();
    ASSERT_EQ(entries.size(), 1u) << c.identifier;
    EXPECT_EQ(entries[0].format, c.format) << c.identifier << ": " << entries[0].message();
    EXPECT_EQ(entries[0].level, platform::LogLevel::kError);
  }
}

TEST(LaunchMainApp, WithoutASessionBusTheAppCannotBeLocated) {
  platform::testing::ScopedMemoryLog log;
  auto loop = platform::SdEventRunLoop::create();
  ASSERT_TRUE(loop.ok());
  platform::SdBusWorkspace workspace(loop.value()->event(), "unix:path=/nonexistent/bus");
  launchMainApp(workspace, BundleInfo{"com.varn.macos.helper", std::nullopt});
  ASSERT_EQ(log->entries().size(), 1u);
  EXPECT_EQ(log->entries()[0].message(),
            "Failed to locate main app 'com.varn.macos' for scheduled session launch");
}

}  // namespace
}  // namespace varn
