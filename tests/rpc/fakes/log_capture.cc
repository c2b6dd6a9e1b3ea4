#include "tests/rpc/fakes/fake_rpc.h"

#include "base/logger.h"
#include "platform/rpc/rpc_log.h"

namespace qbx {
namespace testing {

LogCapture::LogCapture() : saved_level_(Logger::logLevel.load()) {
  Logger::logLevel = loglevel::kTrace;
  Logger::SetSinkForTest([this](int, const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
  });
}

LogCapture::~LogCapture() {
  Logger::SetSinkForTest(nullptr);
  Logger::logLevel = saved_level_;
}

bool LogCapture::Contains(const std::string& text) const { return Count(text) > 0; }

size_t LogCapture::Count(const std::string& text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& l : lines_) n += l.find(text) != std::string::npos;
  return n;
}

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

}  // namespace testing
}  // namespace qbx
