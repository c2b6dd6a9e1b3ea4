#include "channels/status/status_config_monitor.h"

#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <boost/property_tree/ptree.hpp>

#include "base/json_file.h"
#include "base/logger.h"
#include "base/node_identity.h"

namespace qbx::StatusSource {

namespace {

// A collection frequency is a plain unsigned number of seconds; anything else (a sign, a
// fraction, text, a value beyond 32 bits) is refused as malformed.
unsigned ParseFrequency(const std::string& text) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) {
    throw std::invalid_argument("collection_frequency is not an unsigned number: " + text);
  }
  const unsigned long long value = std::stoull(text);
  if (value > 0xffffffffULL) throw std::out_of_range("collection_frequency out of range: " + text);
  return static_cast<unsigned>(value);
}

}  // namespace

StatusConfigMonitor::StatusConfigMonitor(AsioQbxProvider& provider, StatusPoller& poller, const std::string& path,
                                         const std::string& issueFile)
    : provider_(provider), poller_(poller), path_(path) {
  if (IsMpNode(issueFile)) {
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("StatusConfigMonitor timer started");
    timer_ = provider_.timers().ScheduleRepeated(std::chrono::milliseconds(check_interval_ms_),
                                                  [this] { CheckConfigFile(path_); });
  } else {
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("StatusConfigMonitor timer not started, not an MP node");
  }
}

StatusConfigMonitor::~StatusConfigMonitor() {
  if (timer_) timer_->Cancel();
}

bool StatusConfigMonitor::IsMpNode(const std::string& issueFile) {
  bool mp = false;
  std::string text;
  ReadProductIssueFile(issueFile, text);  // a file that is missing or refused reads as empty
  std::istringstream in(std::move(text));
  std::string line;
  while (in && std::getline(in, line)) {
    if (line.find("node-type") == std::string::npos) continue;
    mp = line.find("qbx-manager") != std::string::npos || line.find("global-manager") != std::string::npos;
    break;
  }
  QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("Running on qbx manager: %s", mp ? "True" : "False");
  return mp;
}

void StatusConfigMonitor::CheckConfigFile(const std::string& path) {
  QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("StatusCollCfgMonitor Invoked");
  try {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) return;
    const auto written = std::filesystem::last_write_time(path);
    if (last_write_time_ && *last_write_time_ == written) return;
    last_write_time_ = written;
  } catch (const std::exception& e) {
    QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("Error while checking status collection config file = %s",
                                                      e.what());
    return;
  }
  ProcessConfigFile(path);
}

void StatusConfigMonitor::ProcessConfigFile(const std::string& path) {
  try {
    boost::property_tree::ptree tree;
    ReadJsonFile(path, tree);
    ProcessStatusCollConfig(tree);
  } catch (const std::exception& e) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("Error processing status collection config from file: %s. %s", path.c_str(), e.what());
  }
}

void StatusConfigMonitor::ProcessStatusCollConfig(const boost::property_tree::ptree& tree) {
  for (const auto& member : tree) {
    const std::string& featureStackName = member.first;
    const bool enabled = member.second.get_value_optional<bool>().value_or(true);
    const auto& clients = member.second.get_child("clients");
    for (const auto& client : clients) {
      const std::string clientType = client.second.get<std::string>("client_type");
      if (clientType != kClientType) continue;
      const auto& table = ConfigFileVerticals();
      auto it = table.find(featureStackName);
      const auto vertical = it == table.end() ? static_cast<AggServiceStatusVerticalType>(0) : it->second;
      const unsigned frequency = ParseFrequency(client.second.get<std::string>("collection_frequency"));
      QBX_LOG(loglevel::kInfo)
          .subcomp(kSubcomp)
          .put("ProcessStatusCollConfig: feature_stack_name %s,client_type %s polling_interval %d, is_enabled %d",
               featureStackName.c_str(), clientType.c_str(), static_cast<int>(frequency), enabled ? 1 : 0);
      poller_.UpdatePollingConfig(vertical, frequency, false);
    }
  }
}

}  // namespace qbx::StatusSource
