// Captures log records for the life of the object, at the most verbose level. The buffer is
// shared with the sink, so a record that a lingering thread emits after the capture is gone
// lands in a buffer that still exists.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/logger.h"

namespace qbx::test {

class LogCapture {
 public:
  LogCapture() : savedLevel_(qbx::Logger::logLevel.load()), buffer_(std::make_shared<Buffer>()) {
    qbx::Logger::logLevel.store(qbx::loglevel::kTrace);
    std::shared_ptr<Buffer> buffer = buffer_;
    qbx::Logger::SetSinkForTest([buffer](int, const std::string& line) {
      std::lock_guard<std::mutex> lock(buffer->mutex);
      buffer->lines.push_back(line);
    });
  }
  ~LogCapture() {
    qbx::Logger::SetSinkForTest(nullptr);
    qbx::Logger::logLevel.store(savedLevel_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Number of records that contain every one of the given texts.
  size_t CountAll(const std::vector<std::string>& texts) {
    std::lock_guard<std::mutex> lock(buffer_->mutex);
    size_t n = 0;
    for (const auto& line : buffer_->lines) {
      bool all = true;
      for (const auto& t : texts) all = all && line.find(t) != std::string::npos;
      if (all) ++n;
    }
    return n;
  }
  size_t Count(const std::string& text) { return CountAll(std::vector<std::string>{text}); }
  void Clear() {
    std::lock_guard<std::mutex> lock(buffer_->mutex);
    buffer_->lines.clear();
  }

 private:
  struct Buffer {
    std::mutex mutex;
    std::vector<std::string> lines;
  };
  qbx::LibraryLogLevel savedLevel_;
  std::shared_ptr<Buffer> buffer_;
};

}  // namespace qbx::test
