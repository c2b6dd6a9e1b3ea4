// Captures the log lines emitted while it lives, at a chosen level (info by default), for
// the statistics tests. Lines may arrive from the client's dispatcher thread too.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "base/logger.h"

namespace qbx {

class StatsLogCapture {
 public:
  explicit StatsLogCapture(LibraryLogLevel level = loglevel::kTrace)
      : savedLevel(Logger::logLevel.load()) {
    Logger::logLevel.store(level);
    Logger::SetSinkForTest([this](int, const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex);
      lines.push_back(line);
    });
  }
  ~StatsLogCapture() {
    Logger::SetSinkForTest(nullptr);
    Logger::logLevel.store(savedLevel);
  }
  StatsLogCapture(const StatsLogCapture&) = delete;
  StatsLogCapture& operator=(const StatsLogCapture&) = delete;

  size_t Count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = 0;
    for (const auto& line : lines) n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
  }
  bool Contains(const std::string& text) const { return Count(text) > 0; }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    lines.clear();
  }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
  }

 private:
  LibraryLogLevel savedLevel;
  mutable std::mutex mutex;
  std::vector<std::string> lines;
};

}  // namespace qbx
