// Logging configuration: the structured logger's process-wide settings (global level,
// component value, structured-data key table) from the environment and from files, the
// reader of a component's config.json level, and level names.
//
// The messages written here go straight to syslog (through Logger::EmitRaw) on the default
// facility: errors at LOG_ERR, notices at LOG_INFO.
//
// Threading: InitLogSettingsFromEnvironment runs once, before main and before any other
// thread exists. ReadLogLevelFromConfig and LogLevelToString touch no shared state; the
// former allocates and reads a file, so it must not run in a signal handler.
//
// Every reader takes its file path as an optional argument so tests can point it at a
// temporary file; the overloads without one use the node's fixed paths below.
#pragma once

#include <cstdint>
#include <string>

#include "base/logger.h"

namespace qbx {

inline constexpr char kStructuredDataKeysFile[] = "/opt/zumbra/qbx-common/logging/structured-data.txt";
inline constexpr char kProductIssueFile[] = "/etc/qbx_issue";
// A component's configuration is kComponentConfigRoot + component + "/config.json".
inline constexpr char kComponentConfigRoot[] = "/etc/zumbra/";

// Lines of these lengths or more are skipped by the readers of the key list and the issue
// file (the rest of the file is still read).
inline constexpr size_t kStructuredDataMaxLine = 512;
inline constexpr size_t kIssueFileMaxLine = 256;

struct LogSettingsFiles {
  std::string structuredDataKeys = kStructuredDataKeysFile;
  std::string productIssue = kProductIssueFile;
};

// Runs InitLogSettingsFromEnvironment() exactly once per process, whoever calls first: the
// logger unit's static initialiser (before main) or main's first lines.
void EnsureLogSettingsInitialised();

// Loads the key table, sets the level from "QBX_LOG_LEVEL", the component value from the
// issue file and validates "QBX_SYSLOG_METHOD". Environment variables are read with getenv.
void InitLogSettingsFromEnvironment();
void InitLogSettingsFromEnvironment(const LogSettingsFiles& files);

// Replaces the logger's key table with the file's; a file that cannot be opened changes
// nothing.
void LoadStructuredDataKeys();
void LoadStructuredDataKeys(const std::string& path);

// Sets the logger's component value from the last "node-type" line of the issue file; a
// file that cannot be opened changes nothing.
void InitLogComponentFromNodeType();
void InitLogComponentFromNodeType(const std::string& path);

// The integer "logLevel" of <configRoot><component>/config.json, or -1 (also reported).
int32_t ReadLogLevelFromConfig(const std::string& component);
int32_t ReadLogLevelFromConfig(const std::string& component, const std::string& configRoot);

// "off", "fatal", "error", "warn", "info", "debug", "trace"; "invalid" outside 0..6.
std::string LogLevelToString(int level);

}  // namespace qbx
