// Helpers for tests of the logger and of code that reads configuration files: a capturing
// log sink that also saves and restores the logger's process-wide settings, a scoped
// environment variable, and a temporary directory that removes itself.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/logger.h"

namespace qbx::logtest {

struct CapturedLine {
  int priority;
  std::string line;
};

// Installs a sink for its lifetime and restores level, component and key table afterwards.
class CapturingSink {
 public:
  explicit CapturingSink(LibraryLogLevel level = loglevel::kTrace)
      : savedLevel_(Logger::logLevel.load()),
        savedComponent_(Logger::Component()),
        savedTable_(Logger::KeyTable()) {
    Logger::logLevel = level;
    Logger::SetComponent("qbx-krx");
    Logger::SetKeyTable({});
    Logger::SetSinkForTest([this](int priority, const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back({priority, line});
    });
  }
  ~CapturingSink() {
    Logger::SetSinkForTest(nullptr);
    Logger::logLevel = savedLevel_;
    Logger::SetComponent(savedComponent_);
    Logger::SetKeyTable(savedTable_);
  }
  CapturingSink(const CapturingSink&) = delete;
  CapturingSink& operator=(const CapturingSink&) = delete;

  std::vector<CapturedLine> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const CapturedLine& captured : Lines()) texts.push_back(captured.line);
    return texts;
  }
  int Count(const std::string& needle) const {
    int n = 0;
    for (const CapturedLine& captured : Lines()) {
      if (captured.line.find(needle) != std::string::npos) ++n;
    }
    return n;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  LibraryLogLevel savedLevel_;
  std::string savedComponent_;
  StructuredDataKeyTable savedTable_;
  mutable std::mutex mutex_;
  std::vector<CapturedLine> lines_;
};

// Sets (or, with nullopt, unsets) an environment variable and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = ::getenv(name)) saved_ = old;
    Apply(value);
  }
  ~ScopedEnv() { Apply(saved_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Apply(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  std::string name_;
  std::optional<std::string> saved_;
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qbx-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes `contents` to a file below the directory (creating folders) and returns its path.
  std::string Write(const std::string& relative, const std::string& contents) const {
    std::filesystem::path file = path_ / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out << contents;
    return file.string();
  }

 private:
  std::filesystem::path path_;
};

}  // namespace qbx::logtest
