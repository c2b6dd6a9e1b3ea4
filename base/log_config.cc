#include "base/log_config.h"

#include <syslog.h>

#include <boost/property_tree/ptree.hpp>
#include <cstdlib>
#include <filesystem>
#include <istream>
#include <limits>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bounded_file.h"
#include "base/json_file.h"

namespace qbx {

namespace {

constexpr const char* kWhiteSpace = " \t\n\v\f\r";

std::string Trim(std::string_view text) {
  size_t first = text.find_first_not_of(kWhiteSpace);
  if (first == std::string_view::npos) return std::string();
  size_t last = text.find_last_not_of(kWhiteSpace);
  return std::string(text.substr(first, last - first + 1));
}

// Splits at every separator; adjacent separators give empty pieces.
std::vector<std::string> SplitAll(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      pieces.emplace_back(text.substr(start));
      return pieces;
    }
    pieces.emplace_back(text.substr(start, at - start));
    start = at + 1;
  }
}

// Calls fn(line) for every line of fewer than maxLine characters. A longer line is skipped
// whole, without being held in memory, and reading goes on with the next one.
template <typename Fn>
void ForEachBoundedLine(std::istream& in, size_t maxLine, Fn fn) {
  std::streambuf* buffer = in.rdbuf();
  if (buffer == nullptr) return;
  std::string line;
  bool tooLong = false;
  bool any = false;  // characters seen since the last line feed
  for (;;) {
    int c = buffer->sbumpc();
    if (c == std::char_traits<char>::eof()) break;
    if (c == '\n') {
      if (!tooLong) fn(line);
      line.clear();
      tooLong = false;
      any = false;
      continue;
    }
    any = true;
    if (tooLong) continue;
    if (line.size() + 1 >= maxLine) {
      tooLong = true;
      line.clear();
      continue;
    }
    line.push_back(static_cast<char>(c));
  }
  if (any && !tooLong) fn(line);
}

// The settings file at `path` into `in`, read within the bounds of every file read whole (it
// is read before main: a FIFO or an endless device there would hold the process before it
// starts). False when it is missing (silently) or refused (reported with the reason).
bool ReadSettingsFile(const std::string& path, std::istringstream& in) {
  try {
    in.str(ReadBoundedFile(path));
    return true;
  } catch (const BoundedFileError& e) {
    if (!e.absent()) Logger::EmitRaw(LOG_ERR, std::string("Failed to read ") + e.what());
    return false;
  }
}

// An optional sign followed by at least one digit, nothing else, within int32.
bool ParseInt32(std::string_view text, int32_t& out) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return false;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1) return false;
  }
  if (negative) value = -value;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    return false;
  }
  out = static_cast<int32_t>(value);
  return true;
}

void InitLogLevelFromEnvironment() {
  const char* value = std::getenv("QBX_LOG_LEVEL");
  if (value == nullptr) return;
  std::string copied = std::string(value).substr(0, 9);
  struct Name {
    const char* text;
    LibraryLogLevel level;
  };
  static constexpr Name kNames[] = {{"PANIC", 1}, {"ERROR", 2},   {"WARNING", 3},
                                    {"INFO", 4},  {"VERBOSE", 5}, {"TRIVIA", 6}};
  std::string name;
  for (const Name& candidate : kNames) {
    if (copied == candidate.text) {
      Logger::logLevel.store(candidate.level, std::memory_order_relaxed);
      name = candidate.text;
      break;
    }
  }
  if (name.empty()) {
    Logger::EmitRaw(LOG_ERR, "Invalid log level " + copied + ", ignore");
    Logger::logLevel.store(loglevel::kInfo, std::memory_order_relaxed);
    name = "INFO";
  }
  Logger::EmitRaw(LOG_INFO, "Set log level to " + name);
}

void CheckSyslogMethod() {
  const char* value = std::getenv("QBX_SYSLOG_METHOD");
  if (value != nullptr && std::string_view(value) != "DEVLOG") {
    int32_t port = 0;
    if (!ParseInt32(value, port)) {
      Logger::EmitRaw(LOG_ERR, std::string("Invalid UDP port provided in QBX_SYSLOG_METHOD environment variable: ") +
                                   value + ". Using default syslog UDP port");
    }
  }
  // Records always go to the local syslog service, whatever the variable says.
  Logger::EmitRaw(LOG_INFO, "Use default syslog");
}

}  // namespace

void EnsureLogSettingsInitialised() {
  static const bool done = (InitLogSettingsFromEnvironment(), true);
  (void)done;
}

void InitLogSettingsFromEnvironment() { InitLogSettingsFromEnvironment(LogSettingsFiles()); }

void InitLogSettingsFromEnvironment(const LogSettingsFiles& files) {
  LoadStructuredDataKeys(files.structuredDataKeys);
  InitLogLevelFromEnvironment();
  InitLogComponentFromNodeType(files.productIssue);
  CheckSyslogMethod();
}

void LoadStructuredDataKeys() { LoadStructuredDataKeys(kStructuredDataKeysFile); }

void LoadStructuredDataKeys(const std::string& path) {
  std::istringstream in;
  if (!ReadSettingsFile(path, in)) return;
  StructuredDataKeyTable table;
  ForEachBoundedLine(in, kStructuredDataMaxLine, [&table](const std::string& line) {
    if (!line.empty() && line[0] == '#') return;
    std::vector<std::string> pieces = SplitAll(line, ':');
    if (pieces.size() != 2) return;
    std::unordered_set<std::string> allowed;
    std::string values = Trim(pieces[1]);
    if (!values.empty()) {
      for (std::string& value : SplitAll(values, ',')) allowed.insert(std::move(value));
    }
    table[pieces[0]] = std::move(allowed);
  });
  Logger::SetKeyTable(std::move(table));
}

void InitLogComponentFromNodeType() { InitLogComponentFromNodeType(kProductIssueFile); }

void InitLogComponentFromNodeType(const std::string& path) {
  std::istringstream in;
  if (!ReadSettingsFile(path, in)) return;
  bool found = false;
  std::string component;
  ForEachBoundedLine(in, kIssueFileMaxLine, [&](const std::string& line) {
    if (!line.empty() && line[0] == '#') return;
    std::vector<std::string> pieces = SplitAll(line, ':');
    if (pieces.size() != 2 || pieces[0] != "node-type") return;
    std::string value = Trim(pieces[1]);
    component = Trim(SplitAll(value, ' ').front());
    found = true;  // the last node-type line wins
  });
  if (found) Logger::SetComponent(component);
}

int32_t ReadLogLevelFromConfig(const std::string& component) {
  return ReadLogLevelFromConfig(component, kComponentConfigRoot);
}

int32_t ReadLogLevelFromConfig(const std::string& component, const std::string& configRoot) {
  if (component.empty()) {
    Logger::EmitRaw(LOG_ERR, "Failed to get " + component + " config file");
    return -1;
  }
  const std::string noValue = "Failed to get " + component + " config file logLevel value";
  const std::string path = configRoot + component + "/config.json";
  std::error_code error;
  if (!std::filesystem::exists(path, error)) {
    Logger::EmitRaw(LOG_ERR, noValue);
    return -1;
  }
  std::string text;
  try {
    boost::property_tree::ptree tree;
    ReadJsonFile(path, tree);
    auto member = tree.get_child_optional(boost::property_tree::ptree::path_type("logLevel", '\0'));
    if (!member || !member->empty()) {
      Logger::EmitRaw(LOG_ERR, noValue);
      return -1;
    }
    text = member->data();
  } catch (const std::exception&) {
    Logger::EmitRaw(LOG_ERR, noValue);
    return -1;
  }
  int32_t level = 0;
  if (!ParseInt32(text, level)) {
    Logger::EmitRaw(LOG_ERR, noValue);
    return -1;
  }
  return level;
}

std::string LogLevelToString(int level) {
  static constexpr const char* kNames[] = {"off", "fatal", "error", "warn", "info", "debug", "trace"};
  if (level < 0 || level > 6) return "invalid";
  return kNames[level];
}

}  // namespace qbx
