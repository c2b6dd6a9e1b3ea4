// The stand-in peers the daemon needs on the node, started inside a test's namespace: the
// configuration database (without it the daemon waits in start-up for ever) and the local
// monitoring provider.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tools/sandbox/sandbox.h"

namespace qbx::e2e {

// The build folder's layout: <build>/core/qbx-exporter and <build>/tools/<peer>/<binary>.
inline std::string PeerBinary(const std::string& folder, const std::string& binary) {
  std::string exporter = QBX_EXPORTER_BINARY;
  std::string root = exporter.substr(0, exporter.rfind("/core/"));
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

}  // namespace qbx::e2e
