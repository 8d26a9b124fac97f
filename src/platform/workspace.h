#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/result.h"

namespace varn::platform {

// Running, locating and opening applications by bundle identifier. Use from the main loop's
// thread.
class Workspace {
 public:
  virtual ~Workspace() = default;

  // Called once with nothing on success or with the error that stopped the launch.
  using OpenCompletion = std::function<void(const std::optional<Error>& error)>;

  // Whether an instance of the application is running now. False when that cannot be told.
  virtual bool isRunning(const std::string& bundleIdentifier) = 0;
  // Whether the application is installed and can be opened. False when that cannot be told.
  virtual bool isInstalled(const std::string& bundleIdentifier) = 0;
  // Opens the application without bringing it to the front and returns at once; `completion`
  // runs later on the main loop. Nothing is kept once the completion has run.
  virtual void openInBackground(const std::string& bundleIdentifier, OpenCompletion completion) = 0;
};

}  // namespace varn::platform
