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

namespace {

void logLaunchFailure(const Error& error) {
  scheduleEvaluatorLogger().error("Failed to launch main app for scheduled session: %{public}s",
                                  {error.message});
}

}  // namespace

void launchMainApp(platform::Workspace& workspace, const platform::BundleInfo& bundle) {
  const std::optional<std::string> identifier = resolveMainAppBundleIdentifier(bundle);
  if (!identifier) {
    scheduleEvaluatorLogger().error(
        "Failed to resolve main app bundle identifier for scheduled session launch");
    return;
  }
  // Each step answers later, on the main loop. A bus that is there but fails or does not answer
  // is a failed launch, not a missing app: the app may well be installed.
  workspace.isRunning(*identifier, [&workspace, id = *identifier](const Result<bool>& running) {
    if (!running.ok()) return logLaunchFailure(running.error());
    if (running.value()) return;
    workspace.isInstalled(id, [&workspace, id](const Result<bool>& installed) {
      if (!installed.ok()) return logLaunchFailure(installed.error());
      if (!installed.value()) {
        scheduleEvaluatorLogger().error(
            "Failed to locate main app '%{public}s' for scheduled session launch", {id});
        return;
      }
      workspace.openInBackground(id, [](const std::optional<Error>& error) {
        if (error) return logLaunchFailure(*error);
        scheduleEvaluatorLogger().notice("Launched main app for scheduled session enforcement");
      });
    });
  });
}

}  // namespace varn
