#include "schedule/main_app_launcher.h"

#include "schedule/schedule_evaluator_log.h"

namespace varn {

namespace {
constexpr std::string_view kHelperSuffix = ".helper";
}

std::optional<std::string> resolveMainAppBundleIdentifier(const platform::BundleInfo& bundle) {
  if (const auto& key = bundle.mainAppBundleIdentifier;
      key && !key->empty() && !key->starts_with("$(")) {
    return *key;
  }
  const auto& own = bundle.bundleIdentifier;
  if (own && own->ends_with(kHelperSuffix)) {
    return own->substr(0, own->size() - kHelperSuffix.size());
  }
  return own;
}

void launchMainApp(platform::Workspace& workspace, const platform::BundleInfo& bundle) {
  const platform::Logger& log = scheduleEvaluatorLogger();
  const std::optional<std::string> identifier = resolveMainAppBundleIdentifier(bundle);
  if (!identifier) {
    log.error("Failed to resolve main app bundle identifier for scheduled session launch");
    return;
  }
  if (workspace.isRunning(*identifier)) return;
  if (!workspace.isInstalled(*identifier)) {
    log.error("Failed to locate main app '%{public}s' for scheduled session launch", {*identifier});
    return;
  }
  workspace.openInBackground(*identifier, [](const std::optional<Error>& error) {
    const platform::Logger& completionLog = scheduleEvaluatorLogger();
    if (error) {
      completionLog.error("Failed to launch main app for scheduled session: %{public}s",
                          {error->message});
    } else {
      completionLog.notice("Launched main app for scheduled session enforcement");
    }
  });
}

}  // namespace varn
