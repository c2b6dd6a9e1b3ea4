// The stand-in peers the daemon needs on the node, started inside a test's namespace: the
// configuration database (without it the daemon waits in start-up for ever) and the local
// monitoring provider; and the namespace itself with the records the daemon sends.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/sandbox/sandbox.h"

namespace qbx::e2e {

// The build folder's layout: <build>/daemon/qbx-exporter and <build>/tools/<peer>/<binary>.
inline std::string PeerBinary(const std::string& folder, const std::string& binary) {
  std::string exporter = QBX_EXPORTER_BINARY;
  std::string root = exporter.substr(0, exporter.rfind("/daemon/"));
  return root + "/tools/" + folder + "/" + binary;
}

// Starts a peer; a missing binary (not built) fails the test with its path.
inline pid_t StartPeer(Namespace& ns, const std::string& folder, const std::string& binary) {
  std::string path = PeerBinary(folder, binary);
  if (access(path.c_str(), X_OK) != 0) {
    ADD_FAILURE() << "peer not built: " << path;
    return -1;
  }
  pid_t pid = ns.Spawn({path});
  EXPECT_GT(pid, 0) << path;
  return pid;
}

inline std::string OutputOf(const Namespace& ns, pid_t pid) {
  std::ifstream in(ns.OutputPath(pid));
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Waits until the process printed `text` (its readiness line); false after the failsafe.
inline bool WaitForOutput(const Namespace& ns, pid_t pid, const std::string& text) {
  const auto failsafe = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (OutputOf(ns, pid).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > failsafe) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Starts the transport-node proxy stand-in with two APHs, reading its commands from a FIFO
// that `commandFd` (opened here, closed by the caller) holds open; returns once it listens.
// Empty, or what went wrong.
inline std::string StartCommandedTnProxy(Namespace& ns, int& commandFd, pid_t& pid) {
  const std::string binary = PeerBinary("tnproxy_standin", "qbx-tnproxy-standin");
  if (access(binary.c_str(), X_OK) != 0) return "peer not built: " + binary;
  const std::string fifo = ns.ScratchDir() + "/tnproxy.in";
  if (mkfifo(fifo.c_str(), 0600) != 0) return "cannot make " + fifo;
  commandFd = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  if (commandFd < 0) return "cannot open " + fifo;
  pid = ns.Spawn({"/bin/sh", "-c", "exec '" + binary + "' 2 < '" + fifo + "'"});
  if (pid <= 0) return "cannot start " + binary;
  if (!WaitForOutput(ns, pid, "listening on")) return OutputOf(ns, pid);
  return "";
}

// One command line to the stand-in started above.
inline bool SendCommand(int commandFd, const std::string& line) {
  const std::string text = line + "\n";
  return ::write(commandFd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// Each returns once the peer listens.
inline pid_t StartNodeDb(Namespace& ns) {
  pid_t pid = StartPeer(ns, "nodedb_standin", "qbx-nodedb-standin");
  if (pid > 0) {
    EXPECT_TRUE(WaitForOutput(ns, pid, "serving on")) << OutputOf(ns, pid);
  }
  return pid;
}
inline pid_t StartMonitoring(Namespace& ns) {
  pid_t pid = StartPeer(ns, "monitoring_standin", "qbx-monitoring-standin");
  if (pid > 0) {
    EXPECT_TRUE(WaitForOutput(ns, pid, "listening on")) << OutputOf(ns, pid);
  }
  return pid;
}

// A namespace in `ns` with the files every daemon needs: the node type and its configuration
// (with `logLevel`), and `extraFiles` (path → contents; a path given there wins). False
// where namespaces are not permitted (with the reason in `skipReason`) and, failing the
// test, where one could not be made.
inline bool CreateNodeNamespace(std::unique_ptr<Namespace>& ns, std::string& skipReason, int logLevel = 4,
                                const std::map<std::string, std::string>& extraFiles = {}) {
  Namespace::Options options;
  options.files["/etc/qbx_issue"] = "node-type: qbx-krx\n";
  options.files["/etc/zumbra/qbx-exporter/config.json"] = "{\"logLevel\": " + std::to_string(logLevel) + "}";
  for (const auto& [path, contents] : extraFiles) options.files[path] = contents;
  Namespace::CreateResult created = Namespace::Create(options);
  if (created.unsupported) {
    skipReason = "namespaces not available: " + created.error;
    return false;
  }
  EXPECT_TRUE(created.ns) << created.error;
  ns = std::move(created.ns);
  return ns != nullptr;
}

// Starts the daemon at INFO level; its pid, or -1 (failing the test).
inline pid_t StartDaemonIn(Namespace& ns) {
  pid_t pid = ns.Spawn({QBX_EXPORTER_BINARY}, {{"QBX_LOG_LEVEL", "INFO"}});
  EXPECT_GT(pid, 0);
  return pid;
}

// How many of the records read so far contain `needle`.
inline int CountRecords(const Namespace& ns, const std::string& needle) {
  int n = 0;
  for (const std::string& datagram : ns.Syslog()) n += datagram.find(needle) != std::string::npos;
  return n;
}

// Reads every record already waiting, without blocking.
inline void ReadWaitingRecords(Namespace& ns) {
  while (ns.NextSyslog(std::chrono::milliseconds(0))) {
  }
}

// Waits for `pid` to end while reading the records, so that none of them is dropped for a
// full socket queue. Its wait status; none after `failsafe`.
inline std::optional<int> WaitForExitReading(Namespace& ns, pid_t pid, std::chrono::milliseconds failsafe) {
  const auto deadline = std::chrono::steady_clock::now() + failsafe;
  for (;;) {
    ReadWaitingRecords(ns);
    if (std::optional<int> status = ns.WaitForExit(pid, std::chrono::milliseconds(20))) return status;
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
  }
}

}  // namespace qbx::e2e
