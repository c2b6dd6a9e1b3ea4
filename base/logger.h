// Structured log records.
//
// A record is a short-lived object: construct it with a level, chain subcomp/s2comp/tag/put,
// and let the temporary die; the destructor emits one line to the local syslog service.
// Callers test the global threshold before building a record so that a disabled level costs
// one relaxed atomic load; QBX_LOG does that:
//
//   QBX_LOG(2).subcomp("agg-service").tag("errorCode:MPA10048")
//       .put("[%s] Failed to start AggServiceMgr", __func__);
//
// The line of a record is
//   QBX <pid> - [qbx@8352 comp="..." subcomp="..." [s2comp="..."] tid="..." level="..." <tags>] <text>
// on facility LOCAL6. Parameter values are escaped as RFC 5424 requires (", \ and ] get a
// backslash) and tag keys must be valid SD-NAMEs, so no caller-supplied text can end the
// element early or forge a parameter.
//
// Lines reach the service through a SyslogSender (syslog_sender.h) as the very bytes the C
// library's syslog() would write, on a datagram or a stream socket, but a record never waits
// for the log: when the service stops reading, records wait in a bounded queue and then are
// dropped and counted, and a WARNING record says how many once the log accepts again.
//
// Threading: a record belongs to the thread that built it. The global threshold is atomic;
// the component value and the key table are written once, during static initialisation,
// before any other thread exists, and only read afterwards. The sink is guarded by a mutex
// and called outside it; the sender is safe from any thread.
//
// Initialisation: the logger unit runs the logging configuration (log_config.h) from a
// static initialiser. Any program that logs links this unit (it defines logLevel), so the
// initialiser runs before main even when the logger comes from a static library.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>   // kept: users of this header rely on it
#include <sstream>  // kept: users of this header rely on it
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace qbx {

using LibraryLogLevel = int32_t;

namespace loglevel {
constexpr LibraryLogLevel kFatal = 1;
constexpr LibraryLogLevel kError = 2;
constexpr LibraryLogLevel kWarning = 3;
constexpr LibraryLogLevel kInfo = 4;
constexpr LibraryLogLevel kDebug = 5;
constexpr LibraryLogLevel kTrace = 6;
}  // namespace loglevel

// Allowed values per tag key; an empty set allows any value, an empty table validates nothing.
using StructuredDataKeyTable = std::unordered_map<std::string, std::unordered_set<std::string>>;

class Logger {
 public:
  // The global threshold: a record of level N is emitted only while logLevel >= N.
  static std::atomic<LibraryLogLevel> logLevel;

  static bool Enabled(LibraryLogLevel level) {
    return logLevel.load(std::memory_order_relaxed) >= level;
  }

  // Formatted texts of this many characters or more are dropped by put().
  static constexpr size_t kMaxFormattedText = 2u * 1024u * 1024u;
  static constexpr const char* kSdId = "qbx@8352";

  explicit Logger(LibraryLogLevel level);
  virtual ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  Logger& subcomp(const char* name);
  Logger& s2comp(const char* name);  // stores the pointer: pass a string that outlives the record
  Logger& tag(const char* tag);
  Logger& put(const char* format, ...) __attribute__((format(printf, 2, 3)));
  Logger& put() { return *this; }

  // Where finished lines go. The default sends them to the local syslog service as
  // syslog(priority, "%s", line) would, without waiting for it.
  // `priority` already holds the facility bits where the record has one.
  using Sink = std::function<void(int priority, const std::string& line)>;
  // Replaces the sink (an empty function restores the syslog service). Meant for tests; safe
  // against concurrent logging (a record already past the sink look-up may still reach the
  // old one).
  static void SetSinkForTest(Sink sink);
  // Emits a plain line through the current sink (used for the few messages that go to the
  // log as they are rather than as records).
  static void EmitRaw(int priority, const std::string& line);

  // The end of the process, by exit() (an exit handler calls this) or by ExitProcess
  // (process_exit.h), gives the log the records made before the end began: it waits while
  // the log takes them, gives up once kExitFlushQuiet passes without the log taking one and
  // once kExitFlushTotal passes whatever the log does, and never waits for records made
  // meanwhile (the process may still be serving). When the log did not get every record, one
  // line on stderr says how many ("Log records not handed to the log at exit: N": those
  // still waiting, and those dropped before and not yet reported to the log).
  static void FlushAtExit();
  static constexpr std::chrono::milliseconds kExitFlushQuiet{300};
  static constexpr std::chrono::milliseconds kExitFlushTotal{2000};
  // Waits at most `bound` until every record made so far has been sent to the log or
  // dropped. True when none of them waits any more.
  static bool Flush(std::chrono::milliseconds bound);
  // Sends to the socket at `path` (datagram or stream) instead of "/dev/log" ("" restores it).
  static void SetSyslogPathForTest(const std::string& path);

  // Process-wide settings, normally set once by the logging configuration before main.
  static const std::string& Component();
  static void SetComponent(const std::string& component);
  static const StructuredDataKeyTable& KeyTable();
  static void SetKeyTable(StructuredDataKeyTable table);

  // Builds the line of a record without emitting it; "" when the level is outside 1..6.
  // Exposed for the emitter and for tests of the layout.
  static std::string FormatLine(LibraryLogLevel level, const std::string& subcomp,
                                const char* s2comp, const std::vector<std::string>& tags,
                                const std::string& text);
  // Syslog priority (facility LOCAL6 included) of a level in 1..6, or -1.
  static int PriorityOf(LibraryLogLevel level);

 private:
  void Emit();

  LibraryLogLevel level_;
  std::vector<std::string> tags_;
  std::string text_;
  std::string subcomp_;
  const char* s2comp_ = nullptr;
  // An exception raised while a piece of text was formatted; reported when the record dies.
  std::exception_ptr failure_;
};

}  // namespace qbx

#define QBX_LOG(level)                     \
  if (!::qbx::Logger::Enabled(level)) {    \
  } else                                   \
    ::qbx::Logger(level)
