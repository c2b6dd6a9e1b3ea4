// Captures the log lines emitted while it lives (tests of one thread at a time).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "base/logger.h"

namespace qbx {
namespace testing {

class LogCapture {
 public:
  LogCapture() {
    Logger::SetSinkForTest([this](int, const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() { Logger::SetSinkForTest(nullptr); }

  bool Contains(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& l : lines_) {
      if (l.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace testing
}  // namespace qbx
