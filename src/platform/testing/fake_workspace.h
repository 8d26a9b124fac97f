#pragma once

#include <set>
#include <string>
#include <vector>

#include "platform/workspace.h"

namespace varn::platform::testing {

// A workspace whose running and installed applications the test sets. An open completes at
// once, successfully, and marks the application running.
class FakeWorkspace final : public Workspace {
 public:
  bool isRunning(const std::string& id) override { return running.contains(id); }
  bool isInstalled(const std::string& id) override { return installed.contains(id); }
  void openInBackground(const std::string& id, OpenCompletion completion) override {
    opened.push_back(id);
    running.insert(id);
    completion(std::nullopt);
  }

  std::set<std::string> running;
  std::set<std::string> installed;
  std::vector<std::string> opened;
};

}  // namespace varn::platform::testing
