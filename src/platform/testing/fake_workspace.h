#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/workspace.h"

namespace varn::platform::testing {

// A workspace whose running and installed applications the test sets. Every request is held
// until the test calls answerAll(), as a bus answers later; `failure` set makes the look-ups
// fail with it. A successful open marks the application running.
class FakeWorkspace final : public Workspace {
 public:
  void isRunning(const std::string& id, Answer answer) override {
    held_.push_back([this, id, answer] { answer(lookUp(running.contains(id))); });
  }
  void isInstalled(const std::string& id, Answer answer) override {
    held_.push_back([this, id, answer] { answer(lookUp(installed.contains(id))); });
  }
  void openInBackground(const std::string& id, OpenCompletion completion) override {
    held_.push_back([this, id, completion] {
      opened.push_back(id);
      running.insert(id);
      completion(std::nullopt);
    });
  }

  // Answers what was asked, and what those answers ask in turn, in order.
  void answerAll() {
    while (!held_.empty()) {
      const std::function<void()> next = std::move(held_.front());
      held_.erase(held_.begin());
      next();
    }
  }
  bool waiting() const { return !held_.empty(); }

  std::set<std::string> running;
  std::set<std::string> installed;
  std::vector<std::string> opened;
  std::optional<Error> failure;

 private:
  Result<bool> lookUp(bool found) const {
    if (failure) return *failure;
    return found;
  }
  std::vector<std::function<void()>> held_;
};

}  // namespace varn::platform::testing
