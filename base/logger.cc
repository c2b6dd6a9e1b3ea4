#include "base/logger.h"

#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string_view>

#include "base/log_config.h"
#include "base/syslog_sender.h"

namespace qbx {

std::atomic<LibraryLogLevel> Logger::logLevel{loglevel::kInfo};

namespace {

struct LevelInfo {
  const char* name;
  int priority;
};

// Indexed by level; level 0 is invalid.
constexpr LevelInfo kLevels[] = {
    {nullptr, -1},           {"FATAL", LOG_CRIT}, {"ERROR", LOG_ERR},   {"WARNING", LOG_WARNING},
    {"INFO", LOG_INFO},      {"DEBUG", LOG_DEBUG}, {"TRACE", LOG_DEBUG},
};

bool ValidLevel(LibraryLogLevel level) { return level >= loglevel::kFatal && level <= loglevel::kTrace; }

// The settings live on the heap and are never destroyed, so detached threads may still log
// while the process exits.
std::string& ComponentStorage() {
  static std::string* component = new std::string("qbx-krx");
  return *component;
}

StructuredDataKeyTable& KeyTableStorage() {
  static StructuredDataKeyTable* table = new StructuredDataKeyTable();
  return *table;
}

struct SinkSlot {
  std::mutex mutex;
  std::shared_ptr<const Logger::Sink> sink;  // null: the local syslog service
};

SinkSlot& TheSinkSlot() {
  static SinkSlot* slot = new SinkSlot();
  return *slot;
}

// RFC 5424 PARAM-VALUE: '"', '\' and ']' must be escaped.
void AppendEscaped(std::string& out, std::string_view value) {
  for (char c : value) {
    if (c == '"' || c == '\\' || c == ']') out.push_back('\\');
    out.push_back(c);
  }
}

// RFC 5424 SD-NAME: printable US-ASCII except '=', space, ']' and '"'. A key outside this
// set would break the element, so such a tag is refused like one the key table refuses.
bool IsSdName(std::string_view name) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    if (c < 33 || c > 126 || c == '=' || c == ']' || c == '"') return false;
  }
  return true;
}

void AppendParam(std::string& out, std::string_view name, std::string_view value) {
  out.push_back(' ');
  out.append(name);
  out.append("=\"");
  AppendEscaped(out, value);
  out.push_back('"');
}

// Decides whether a tag enters the element. Returns false for a refused tag; `skip` is set
// for a tag that is dropped silently.
bool AcceptTag(const std::string& tag, const StructuredDataKeyTable& table, std::string_view& key,
               std::string_view& value, bool& skip) {
  skip = false;
  std::string_view whole(tag);
  size_t colon = whole.find(':');
  if (colon == std::string_view::npos) {
    key = {};
    value = whole;
  } else {
    key = whole.substr(0, colon);
    value = whole.substr(colon + 1);
  }
  if (key.empty() && value.empty()) {
    skip = true;
    return false;
  }
  if (key.empty()) key = "tag";
  if (!IsSdName(key)) return false;
  if (!table.empty()) {
    auto it = table.find(std::string(key));
    if (it == table.end()) return false;
    if (!it->second.empty() && it->second.count(std::string(value)) == 0) return false;
  }
  return true;
}

void AppendTextCollapsingLineFeeds(std::string& out, const std::string& text) {
  bool inRun = false;
  for (char c : text) {
    if (c == '\n') {
      if (!inRun) out.push_back(' ');
      inRun = true;
    } else {
      out.push_back(c);
      inRun = false;
    }
  }
}

// Process and thread ids are cached: each is a system call, and a record needs both. A
// forked child starts with empty caches (its pid and its thread's id are new).
std::atomic<pid_t> gCachedPid{0};
thread_local pid_t tCachedTid = 0;

void ForgetIdsInChild() {
  gCachedPid.store(0, std::memory_order_relaxed);
  tCachedTid = 0;
}

pid_t CurrentPid() {
  static const bool registered = (::pthread_atfork(nullptr, nullptr, ForgetIdsInChild), true);
  (void)registered;
  pid_t pid = gCachedPid.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = ::getpid();
    gCachedPid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

pid_t CurrentTid() {
  if (tCachedTid == 0) tCachedTid = ::gettid();
  return tCachedTid;
}

// The one way to the local syslog service. Never destroyed: detached threads may log while
// the process exits. Records made before exit() are flushed by an exit handler, as
// Logger::FlushAtExit says.
SyslogSender& TheSyslogSender() {
  static SyslogSender* sender = [] {
    SyslogSender::Options options;
    options.dropReport = [](uint64_t dropped) -> std::optional<SyslogSender::DropReport> {
      if (!Logger::Enabled(loglevel::kWarning)) return std::nullopt;
      char text[96];
      std::snprintf(text, sizeof(text), "Log records dropped because the log did not accept them: %llu",
                    static_cast<unsigned long long>(dropped));
      return SyslogSender::DropReport{Logger::PriorityOf(loglevel::kWarning),
                                      Logger::FormatLine(loglevel::kWarning, std::string(), nullptr, {}, text)};
    };
    auto* made = new SyslogSender(std::move(options));
    std::atexit(&Logger::FlushAtExit);
    return made;
  }();
  return *sender;
}

void EmitFailure(const char* what) {
  try {
    Logger::EmitRaw(LOG_ERR, std::string("Failed to log message: ") + what);
  } catch (...) {
    // The sink itself failed: send the report to the log from a buffer of our own, which
    // needs no allocation.
    char text[256];
    std::snprintf(text, sizeof(text), "Failed to log message: %s", what);
    TheSyslogSender().Send(LOG_ERR, text);
  }
}

// Runs the logging configuration before main in every program that links the logger.
[[maybe_unused]] const bool kLogSettingsInitialised = (EnsureLogSettingsInitialised(), true);

}  // namespace

Logger::Logger(LibraryLogLevel level) : level_(level) {}

Logger::~Logger() {
  try {
    Emit();
  } catch (const std::exception& e) {
    EmitFailure(e.what());
  } catch (...) {
    EmitFailure("unknown error");
  }
}

Logger& Logger::subcomp(const char* name) {
  try {
    subcomp_ = name ? name : "";
  } catch (...) {
    if (!failure_) failure_ = std::current_exception();
  }
  return *this;
}

Logger& Logger::s2comp(const char* name) {
  s2comp_ = name;
  return *this;
}

Logger& Logger::tag(const char* tag) {
  if (tag == nullptr || *tag == '\0') return *this;
  try {
    tags_.emplace_back(tag);
  } catch (...) {
    if (!failure_) failure_ = std::current_exception();
  }
  return *this;
}

Logger& Logger::put(const char* format, ...) {
  if (format == nullptr || *format == '\0') return *this;
  va_list args;
  va_list again;
  va_start(args, format);
  va_copy(again, args);
  try {
    // Most texts fit the first buffer; a longer one is formatted a second time at its exact
    // size. Texts of kMaxFormattedText characters or more are dropped.
    char buffer[2048];
    int n = vsnprintf(buffer, sizeof(buffer), format, args);
    if (n >= 0) {
      size_t length = static_cast<size_t>(n);
      if (length < sizeof(buffer)) {
        text_.append(buffer, length);
      } else if (length < kMaxFormattedText) {
        std::string big(length + 1, '\0');
        int m = vsnprintf(big.data(), big.size(), format, again);
        if (m >= 0 && static_cast<size_t>(m) == length) text_.append(big.data(), length);
      }
    }
  } catch (...) {
    if (!failure_) failure_ = std::current_exception();
  }
  va_end(again);
  va_end(args);
  return *this;
}

int Logger::PriorityOf(LibraryLogLevel level) {
  if (!ValidLevel(level)) return -1;
  return LOG_LOCAL6 | kLevels[level].priority;
}

std::string Logger::FormatLine(LibraryLogLevel level, const std::string& subcomp,
                               const char* s2comp, const std::vector<std::string>& tags,
                               const std::string& text) {
  if (!ValidLevel(level)) return std::string();
  std::string line;
  line.reserve(160 + text.size());
  line.append("QBX ");
  line.append(std::to_string(static_cast<int>(CurrentPid())));
  line.append(" - [");
  line.append(kSdId);
  AppendParam(line, "comp", Component());
  AppendParam(line, "subcomp", subcomp.empty() ? std::string_view("qbx-fabric-exporter")
                                               : std::string_view(subcomp));
  if (s2comp != nullptr) AppendParam(line, "s2comp", s2comp);
  AppendParam(line, "tid", std::to_string(static_cast<long>(CurrentTid())));
  AppendParam(line, "level", kLevels[level].name);

  const StructuredDataKeyTable& table = KeyTable();
  bool refused = false;
  for (const std::string& tag : tags) {
    std::string_view key;
    std::string_view value;
    bool skip = false;
    if (AcceptTag(tag, table, key, value, skip)) {
      AppendParam(line, key, value);
    } else if (!skip) {
      refused = true;
    }
  }
  if (refused) AppendParam(line, "invalid", "true");
  line.append("] ");
  AppendTextCollapsingLineFeeds(line, text);
  return line;
}

void Logger::Emit() {
  if (failure_) std::rethrow_exception(failure_);
  if (!ValidLevel(level_)) {
    EmitRaw(LOG_ERR, "Invalid log level " + std::to_string(level_));
    return;
  }
  // A caller that did not test the threshold first still emits nothing.
  if (!Enabled(level_)) return;
  std::string line = FormatLine(level_, subcomp_, s2comp_, tags_, text_);
  EmitRaw(PriorityOf(level_), line);
}

void Logger::SetSinkForTest(Sink sink) {
  std::shared_ptr<const Sink> next;
  if (sink) next = std::make_shared<const Sink>(std::move(sink));
  SinkSlot& slot = TheSinkSlot();
  std::shared_ptr<const Sink> previous;
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    previous = std::move(slot.sink);
    slot.sink = std::move(next);
  }
  // `previous` dies here, outside the lock.
}

void Logger::EmitRaw(int priority, const std::string& line) {
  SinkSlot& slot = TheSinkSlot();
  std::shared_ptr<const Sink> sink;
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    sink = slot.sink;
  }
  if (sink) {
    (*sink)(priority, line);
  } else {
    TheSyslogSender().Send(priority, line);
  }
}

bool Logger::Flush(std::chrono::milliseconds bound) { return TheSyslogSender().Flush(bound, bound).complete; }

void Logger::FlushAtExit() {
  const SyslogSender::FlushResult result = TheSyslogSender().Flush(kExitFlushQuiet, kExitFlushTotal);
  if (result.notHandedOver == 0) return;
  // Written straight to the descriptor: stdio may be flushed and closed already.
  char line[96];
  const int length = std::snprintf(line, sizeof(line), "Log records not handed to the log at exit: %llu\n",
                                   static_cast<unsigned long long>(result.notHandedOver));
  if (length > 0) {
    ssize_t written = ::write(STDERR_FILENO, line, static_cast<size_t>(length));
    (void)written;  // nowhere left to report it
  }
}

void Logger::SetSyslogPathForTest(const std::string& path) {
  TheSyslogSender().SetPath(path.empty() ? std::string(SyslogSender::kDefaultPath) : path);
}

const std::string& Logger::Component() { return ComponentStorage(); }

void Logger::SetComponent(const std::string& component) { ComponentStorage() = component; }

const StructuredDataKeyTable& Logger::KeyTable() { return KeyTableStorage(); }

void Logger::SetKeyTable(StructuredDataKeyTable table) { KeyTableStorage() = std::move(table); }

}  // namespace qbx
