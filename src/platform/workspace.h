#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/result.h"

namespace varn::platform {

// Running, locating and opening applications by bundle identifier. Every call returns at once
// and answers later, on the main loop, so that a slow or stopped peer never holds the loop up.
// Use from the main loop's thread.
class Workspace {
 public:
  virtual ~Workspace() = default;

  // True or false; an error when the answer could not be had from a peer that is there (it
  // failed or did not answer in time). Where there is no peer to ask at all, nothing runs and
  // nothing is installed: the answer is false, not an error.
  using Answer = std::function<void(const Result<bool>& answer)>;
  // Called once with nothing on success or with the error that stopped the launch.
  using OpenCompletion = std::function<void(const std::optional<Error>& error)>;

  // Whether an instance of the application is running now.
  virtual void isRunning(const std::string& bundleIdentifier, Answer answer) = 0;
  // Whether the application is installed and can be opened.
  virtual void isInstalled(const std::string& bundleIdentifier, Answer answer) = 0;
  // Opens the application without bringing it to the front.
  virtual void openInBackground(const std::string& bundleIdentifier, OpenCompletion completion) = 0;
};

}  // namespace varn::platform
