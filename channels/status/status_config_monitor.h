// On a manager node, watches the status-collection configuration file and feeds changed
// collection frequencies to the poller. Idle on every other node.
//
// Threading: constructed on the source's constructing thread; its timer and everything it
// calls run on the source's provider thread. The timer captures `this`; the destructor
// cancels it and the owning source stops and joins its provider before destroying it.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

#include "channels/status/status_poller.h"
#include "platform/runtime/asio_qbx_provider.h"

namespace qbx::StatusSource {

class StatusConfigMonitor {
 public:
  static constexpr int32_t kCheckIntervalMs = 10000;
  static constexpr const char* kClientType = "cvn-mp-mpa";

  StatusConfigMonitor(AsioQbxProvider& provider, StatusPoller& poller, const std::string& path,
                      const std::string& issueFile = kIssueFile);
  ~StatusConfigMonitor();
  StatusConfigMonitor(const StatusConfigMonitor&) = delete;
  StatusConfigMonitor& operator=(const StatusConfigMonitor&) = delete;

  static bool IsMpNode(const std::string& issueFile);
  void CheckConfigFile(const std::string& path);
  void ProcessConfigFile(const std::string& path);
  void ProcessStatusCollConfig(const boost::property_tree::ptree& tree);
  bool IsActive() const { return timer_ != nullptr; }

 private:
  AsioQbxProvider& provider_;
  StatusPoller& poller_;
  std::shared_ptr<Timer> timer_;
  const int32_t check_interval_ms_ = kCheckIntervalMs;
  const std::string path_;
  // Full resolution, so that two writes within one second are both noticed.
  std::optional<std::filesystem::file_time_type> last_write_time_;
};

}  // namespace qbx::StatusSource
