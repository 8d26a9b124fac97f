#pragma once

#include <set>
#include <string>
#include <vector>

#include "platform/workspace.h"

namespace varn::platform::testing {

// A workspace whose running and installed applications the test sets. Every request is answered
// at once; a successful open marks the application running.
class FakeWorkspace final : public Workspace {
 public:
  void isRunning(const std::string& id, Answer answer) override { answer(running.contains(id)); }
  void isInstalled(const std::string& id, Answer answer) override {
    answer(installed.contains(id));
  }
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
