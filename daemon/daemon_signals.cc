#include "daemon/daemon_signals.h"

#include <csignal>
#include <cstring>

#include "base/logger.h"

namespace qbx {

std::string ProgramNameFromInvocation(const char* invocation) {
  if (invocation == nullptr) return std::string();
  const char* base = std::strrchr(invocation, '/');
  std::string name = base != nullptr ? std::string(base + 1) : std::string(invocation);
  const char* space = " \t\n\v\f\r";
  size_t first = name.find_first_not_of(space);
  if (first == std::string::npos) return std::string();
  size_t last = name.find_last_not_of(space);
  return name.substr(first, last - first + 1);
}

void SigUser1Handler(int signum) {
  if (signum != SIGUSR1) return;
  LibraryLogLevel level = Logger::logLevel.load(std::memory_order_relaxed);
  if (level == loglevel::kInfo) {
    QBX_LOG(loglevel::kInfo)
        .subcomp("agg-service")
        .put("[Core][%s] Changing log level to LVL_VERBOSE", "SigUser1Handler");
    Logger::logLevel.store(loglevel::kDebug, std::memory_order_relaxed);
    return;
  }
  if (level > loglevel::kWarning) {
    QBX_LOG(loglevel::kInfo)
        .subcomp("agg-service")
        .put("[Core][%s] Changing log level to LVL_INFO", "SigUser1Handler");
  }
  Logger::logLevel.store(loglevel::kInfo, std::memory_order_relaxed);
}

void ReloadLogLevelOnHangup(const std::string& component, const std::string& configRoot) {
  int32_t level = ReadLogLevelFromConfig(component, configRoot);
  if (level == -1) return;
  Logger::logLevel.store(level, std::memory_order_relaxed);
  if (level > loglevel::kWarning) {
    QBX_LOG(loglevel::kInfo)
        .subcomp("agg-service")
        .put("Changing %s log level to %s\n", component.c_str(), LogLevelToString(level).c_str());
  }
}

}  // namespace qbx
