// Helpers shared by the file-operation tests: product-style paths, folder set-up and a
// callback that records every step it is shown.
#pragma once

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "OrvelKF/OrvelFileOpUtil.h"
#include "TempDir.h"

namespace OrvelTest {

// The path as the product writes it, with "\" separators.
inline std::string win(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

inline void makeDirs(const std::string& path) { std::filesystem::create_directories(path); }

inline bool isDirectory(const std::string& path) { return std::filesystem::is_directory(path); }

inline std::set<std::string> namesIn(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& found : std::filesystem::directory_iterator(folder))
    names.insert(found.path().filename().string());
  return names;
}

struct SeenStep {
  int action;
  int done;
  std::string src;
  std::string dst;  // "(null)" when the record had none
};

using Steps = std::vector<std::pair<int, int>>;

class CallbackRecorder {
 public:
  CallbackRecorder() {
    m_entry.structSize = OrvelFileOpUtil::kCallbackEntrySize;
    m_entry.userData = this;
  }
  CallbackRecorder(const CallbackRecorder&) = delete;
  CallbackRecorder& operator=(const CallbackRecorder&) = delete;

  OrvelFileOpUtil::CallbackEntry* entry() { return &m_entry; }
  static int callback(OrvelFileOpUtil::CallbackEntry* entry) {
    auto* self = static_cast<CallbackRecorder*>(entry->userData);
    self->steps.push_back({entry->action, entry->done, entry->srcPath ? entry->srcPath : "(null)",
                           entry->dstPath ? entry->dstPath : "(null)"});
    return self->answer ? self->answer(*entry) : OrvelFileOpUtil::kCallbackContinue;
  }

  // The (action, done) pairs seen since the last call.
  Steps take() {
    Steps result;
    for (const SeenStep& step : steps) result.emplace_back(step.action, step.done);
    steps.clear();
    return result;
  }

  std::vector<SeenStep> steps;
  std::function<int(const OrvelFileOpUtil::CallbackEntry&)> answer;

 private:
  OrvelFileOpUtil::CallbackEntry m_entry{};
};

}  // namespace OrvelTest
