// The real varnctl: its command line, its JSON form and its exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "support/process.h"
#include "support/temp_dir.h"

namespace varn::e2e {
namespace {

namespace fs = std::filesystem;

// Runs "$@" where /Users/Shared is an empty folder of mode 1777, the data folder "$0", no bus.
constexpr const char* kNamespace =
    "mount -t tmpfs tmpfs /Users && mkdir -m 1777 /Users/Shared && exec env TZ=UTC "
    "DBUS_SESSION_BUS_ADDRESS=unix:path=/none XDG_DATA_HOME=\"$0\" \"$@\"";

class VarnctlTest : public ::testing::Test {
 protected:
  support::CommandResult varnctl(const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{"unshare", "-m",       "--propagation", "private",          "sh",
                                  "-c",      kNamespace, dir_.path(),     VARN_CTL_EXECUTABLE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return support::run(argv, std::chrono::seconds(30));
  }

  support::TempDir dir_;
};

TEST_F(VarnctlTest, PrintsTheDocumentedJsonAndExitsOneOnlyWithProblems) {
  const support::CommandResult help = support::run({VARN_CTL_EXECUTABLE, "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.output.starts_with("Usage: varnctl status [--json]")) << help.output;
  const support::CommandResult bad = support::run({VARN_CTL_EXECUTABLE, "status", "--jsno"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.output.find("unknown option --jsno"), std::string::npos) << bad.output;

  if (::geteuid() != 0) GTEST_SKIP() << "a private mount namespace needs root";
  ASSERT_TRUE(::mkdir("/Users", 0755) == 0 || errno == EEXIST);  // to mount on; left empty
  const support::CommandResult clean = varnctl({"status", "--json"});
  ASSERT_EQ(clean.status, 0) << clean.output;
  const nlohmann::json json = nlohmann::json::parse(clean.output, nullptr, false);
  ASSERT_TRUE(json.is_object()) << clean.output;
  std::vector<std::string> keys;
  for (const auto& [key, value] : json.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"evaluation", "helper", "mainApp", "now", "problems",
                                            "schedules", "session", "zone"}));
  EXPECT_TRUE(json["mainApp"]["running"].is_null());
  EXPECT_EQ(json["evaluation"]["why"], "nothing, no schedule is enabled");

  support::writeFile(dir_ / "group.com.varn.macos/schedules.json", R"([{"days":[8]}])");
  const support::CommandResult broken = varnctl({"status", "--json"});
  EXPECT_EQ(broken.status, 1) << broken.output;
  EXPECT_EQ(nlohmann::json::parse(broken.output, nullptr, false)["problems"].size(), 1u);
}

}  // namespace
}  // namespace varn::e2e
