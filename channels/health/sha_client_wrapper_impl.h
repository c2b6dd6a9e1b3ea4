// The framework's one connection to the node's health agent.
//
// Owns the health-agent client, keeps the process heartbeat, subscribes to the agent's
// events and keeps the flag, switched by those events, that says whether time-series
// metrics are wanted. A failed metric send marks a full sync as needed on the status
// source; events 5 (metric configuration present) and 1 (channel recovered) ask it for a
// full sync.
//
// Threading: EventNotifyCb runs on the health-agent client's delivery thread and is
// serialised by event_mutex_. tsdb_enabled_ is written only there and read by IsTsdbEnabled
// from any thread, under tsdb_mutex_. SendMetric takes no lock of its own and may run on
// several threads at once. status_source_ is written by SetStatusSource and read by the
// event and send paths, so it is guarded by source_mutex_ (copied out before use: no call
// into the status source is made under any of these locks). Lock order: event_mutex_,
// then tsdb_mutex_ or source_mutex_ (never both of the latter).
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "aggsvc/sha_client_wrapper.h"
#include "platform/sha/sha_pm_client.h"

namespace qbx::AggSvc {

class ShaClientWrapperImpl : public ShaClientWrapper,
                             public std::enable_shared_from_this<ShaClientWrapperImpl> {
 public:
  static constexpr const char* kClientName = "aggsvc-framework";
  static constexpr int kHeartbeatInterval = 5;
  static constexpr int kHeartbeatTimeout = 30;

  // Creates the health-agent client "aggsvc-framework" and names the process after the
  // node type.
  ShaClientWrapperImpl();
  // Uses `client` (may be null) and `processName` instead; for tests and tools.
  ShaClientWrapperImpl(std::shared_ptr<qbx::sha::ShaPmClient> client, const std::string& processName);
  ~ShaClientWrapperImpl() override;

  void SetStatusSource(const std::shared_ptr<qbx::StatusSource::StatusSource>& statusSource) override;
  void Start() override;
  void Stop() override;
  bool SendMetric(const std::string& key, const std::shared_ptr<MetricsAgentMessage>& value) override;
  bool IsTsdbEnabled() override;

  void StartProcessHeartbeat();
  void StopProcessHeartbeat();
  void EventNotifyCb(const std::shared_ptr<qbx::sha::ShaEventNotify>& event);
  static std::string ShaEventTypeString(int32_t type);

  const std::shared_ptr<qbx::sha::ShaPmClient>& ShaPmClientForTest() const { return sha_pm_client_; }

 private:
  std::shared_ptr<qbx::StatusSource::StatusSource> StatusSourceCopy();

  std::shared_ptr<qbx::sha::ShaPmClient> sha_pm_client_;
  std::mutex source_mutex_;
  std::shared_ptr<qbx::StatusSource::StatusSource> status_source_;
  std::mutex tsdb_mutex_;
  std::mutex event_mutex_;
  bool tsdb_enabled_ = false;
};

}  // namespace qbx::AggSvc
