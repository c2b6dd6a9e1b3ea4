#include "channels/status/status_source_impl.h"

#include <future>
#include <vector>

#include "base/logger.h"

namespace qbx::StatusSource {

namespace {

AsioQbxProvider::Options ProviderOptions() {
  AsioQbxProvider::Options options;
  options.first_flag = true;
  return options;
}

std::unique_ptr<AsioQbxProvider> MakeProvider(const std::shared_ptr<ManualClock>& clock) {
  if (clock) return std::make_unique<AsioQbxProvider>(ProviderOptions(), "", clock);
  return std::make_unique<AsioQbxProvider>(ProviderOptions(), "");
}

}  // namespace

StatusSourceImpl::StatusSourceImpl() : StatusSourceImpl(Options()) {}

StatusSourceImpl::StatusSourceImpl(Options options)
    : provider_(MakeProvider(options.clock)), options_(std::move(options)) {
  link_ = std::make_shared<ProviderCommunicator>(*provider_, *this, options_.endpoint, options_.rpcFactory);
  report_sender_ = std::make_unique<StatusReportSender>(*link_, provider_->clock());
  poller_ = std::make_unique<StatusPoller>(*provider_, *this, DefaultPollingIntervals());
  fsm_ = std::make_unique<StatusFullSyncFSM>(*provider_, *this, kFullSyncGapSeconds, kFullSyncTimerSeconds);
  config_monitor_ =
      std::make_unique<StatusConfigMonitor>(*provider_, *poller_, options_.configFile, options_.issueFile);
  // The tables are built once per process (SupportedVerticals, SupportedMsgTypes).
  provider_->RunAsync(1);
  Stamp();
  liveness_timer_ =
      provider_->timers().ScheduleRepeated(std::chrono::seconds(kLivenessIntervalSeconds), [this] { Stamp(); });
}

StatusSourceImpl::~StatusSourceImpl() {
  try {
    Stop();
  } catch (...) {
    // Nothing may leave a destructor; the provider's own destructor still joins its thread.
  }
}

bool StatusSourceImpl::RunOnLoop(const std::function<void()>& fn) {
  if (provider_->dispatcher().IsLoopThread()) {
    fn();
    return true;
  }
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  const bool posted = provider_->dispatcher().Post([fn, done] {
    try {
      fn();
    } catch (const std::exception& e) {
      QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("StatusSource task failed: %s", e.what());
    } catch (...) {
      QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("StatusSource task failed: %s", "unknown exception");
    }
    done->set_value();
  });
  if (!posted) return false;
  finished.wait();  // also ready (broken promise) when the task was dropped unrun
  return true;
}

void StatusSourceImpl::Stamp() { liveness_stamp_ = provider_->clock().Now().time_since_epoch().count(); }

bool StatusSourceImpl::IsAlive() {
  const auto now = provider_->clock().Now().time_since_epoch();
  const auto stamp = Clock::duration(liveness_stamp_.load());
  return now - stamp < std::chrono::seconds(kAliveWindowSeconds);
}

bool StatusSourceImpl::RegisterStatusCallback(const std::string& verticalName, const std::string& msgTypeName,
                                              StatusCallback statusCb, CompareCallback compareCb) {
  const auto& verticals = SupportedVerticals();
  auto v = verticals.find(verticalName);
  if (v == verticals.end()) {
    QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("Not registering unsupported vertical: %s", verticalName.c_str());
    return false;
  }
  const auto& msgTypes = SupportedMsgTypes();
  auto m = msgTypes.find(msgTypeName);
  if (m == msgTypes.end()) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("Not registering unsupported message type: %s for vertical: %s", msgTypeName.c_str(),
             verticalName.c_str());
    return false;
  }
  const StatusKey key(v->second, m->second);
  std::lock_guard<std::mutex> lock(registration_mutex_);
  if (compare_callbacks_.count(key) != 0) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("%s:%s already registered with StatusSource", VerticalName(key.first).c_str(),
             MsgTypeName(key.second).c_str());
    return false;
  }
  if (!poller_->RegisterStatusCallback(key, std::move(statusCb))) return false;
  compare_callbacks_.emplace(key, std::move(compareCb));
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("Successfully registered %s:%s with StatusSource", VerticalName(key.first).c_str(),
           MsgTypeName(key.second).c_str());
  return true;
}

bool StatusSourceImpl::OnFullSyncRequest() {
  QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("FullSync request received from SHA callback");
  fsm_->RequestFullSync();
  return true;
}

void StatusSourceImpl::SetFullSyncNeeded() { fsm_->SetFullSyncNeeded(); }

void StatusSourceImpl::Start() {
  if (stopped_) return;
  RunOnLoop([this] {
    if (stats_dump_timer_) stats_dump_timer_->Cancel();
    stats_dump_timer_ = provider_->timers().ScheduleRepeated(std::chrono::seconds(stats_dump_interval_),
                                                             [this] { DumpStats(); });
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("StatusSource started reporting stats dumper");
    link_->Start();
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("StatusSource started");
  });
}

void StatusSourceImpl::Stop() {
  if (stopped_) return;
  stopped_ = true;
  RunOnLoop([this] {
    for (auto* timer : {&stats_dump_timer_, &heartbeat_timer_, &liveness_timer_}) {
      if (*timer) {
        (*timer)->Cancel();
        timer->reset();
      }
    }
    poller_->Stop();
    link_->Stop();
  });
  provider_->StopAndWait(true);
  QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("StatusSource stopped");
}

void StatusSourceImpl::Report(const StatusKey& key, const StatusUpdatePtr& update) {
  if (report_sender_->SendStatusReport(key, update)) {
    undelivered_.erase(key);
    written_to_stream_.insert(key);
  } else {
    undelivered_.insert(key);
  }
}

void StatusSourceImpl::OnStatusUpdate(const StatusKey& key, const OptionalStatusUpdate& update) {
  StatusUpdatePtr previous;
  auto it = last_updates_.find(key);
  if (it != last_updates_.end()) previous = it->second;
  if (!update.has_value() || !*update) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("Empty response received for vertical:message-type: %s:%s", VerticalName(key.first).c_str(),
             MsgTypeName(key.second).c_str());
    return;
  }
  const StatusUpdatePtr& current = *update;
  if (previous) {
    CompareCallback compare;
    {
      std::lock_guard<std::mutex> lock(registration_mutex_);
      auto c = compare_callbacks_.find(key);
      if (c != compare_callbacks_.end()) compare = c->second;
    }
    // An empty compare callback throws std::bad_function_call; the poller logs it.
    const bool same = compare(previous, current);
    if (same && undelivered_.count(key) == 0) {
      QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("Dropping update as there is no difference from previous");
      return;
    }
  }
  QBX_LOG(loglevel::kDebug)
      .subcomp(kSubcomp)
      .put("Updated status for vertical:message-type: %s:%s", VerticalName(key.first).c_str(),
           MsgTypeName(key.second).c_str());
  Report(key, current);
  last_updates_[key] = current;
}

bool StatusSourceImpl::FullSync(MonitoringStatusFullSyncResponseMsg& response,
                                const MonitoringStatusProviderMsg& request) {
  QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("Stopping periodic poll for full sync");
  if (heartbeat_timer_) {
    heartbeat_timer_->Cancel();
    heartbeat_timer_.reset();
  }
  poller_->Stop();
  PollCfgMsgHandler(request, true);
  if (request.has_global_status_collection_enabled() && !request.global_status_collection_enabled()) {
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("Skip FullSync as global status collection is disabled");
    return true;
  }
  const bool result = poller_->FullSync(response);
  for (const auto& report : response.vertical_reports()) {
    const StatusKey key(report.vertical(), report.msg_type());
    last_updates_[key] = std::make_shared<GenericRuntimeStatusUpdateMsg>(report.status());
    // Delivered with the response; should that stream end, the pair is sent again.
    undelivered_.erase(key);
    written_to_stream_.insert(key);
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("FullSync got status for %s:%s", VerticalName(key.first).c_str(), MsgTypeName(key.second).c_str());
  }
  SetLastFullSyncTime();
  return result;
}

void StatusSourceImpl::StartPeriodicPoll() {
  QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("Starting periodic poll after full sync");
  poller_->Start();
  // A second start without a full sync in between must not leave two heartbeats running.
  if (heartbeat_timer_) heartbeat_timer_->Cancel();
  heartbeat_timer_ =
      provider_->timers().ScheduleRepeated(std::chrono::seconds(heartbeat_interval_), [this] { SendHeartbeat(); });
}

void StatusSourceImpl::SendHeartbeat() { report_sender_->SendHeartbeat(poller_->LastPollTimes()); }

void StatusSourceImpl::PollCfgMsgHandler(const MonitoringStatusProviderMsg& msg, bool fromFullSync) {
  poller_->SetCollectionEnabled(msg.has_global_status_collection_enabled() ? msg.global_status_collection_enabled()
                                                                          : true);
  const auto& verticals = SupportedVerticals();
  for (const auto& cfg : msg.polling_configs()) {
    auto it = verticals.find(cfg.feature_stack_name());
    if (it == verticals.end()) {
      QBX_LOG(loglevel::kWarning)
          .subcomp(kSubcomp)
          .put("Error PollCfgMsgHandler: feature_stack_name %s: %s", cfg.feature_stack_name().c_str(),
               "_Map_base::at");
      continue;
    }
    // A negative interval is as invalid as 0; the poller refuses both.
    const uint64_t interval = cfg.polling_interval() > 0 ? static_cast<uint64_t>(cfg.polling_interval()) : 0;
    poller_->UpdatePollingConfig(it->second, interval, fromFullSync);
  }
  const bool enabled = msg.global_status_collection_enabled();
  if (!fromFullSync && !poller_->IsPrevCollectionEnabled() && enabled) {
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("Global status collection config changed from disabled to enabled");
    fsm_->RequestFullSync();
  }
  poller_->SetPrevCollectionEnabled(enabled);
}

bool StatusSourceImpl::DoFullSync() {
  if (!poller_->IsCollectionEnabled()) {
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("Global data collection is disabled, skip full sync");
    return true;
  }
  if (!poller_->IsRunning()) return false;
  poller_->Stop();
  poller_->PollAll();
  poller_->Start();
  return true;
}

std::optional<TimePoint> StatusSourceImpl::GetLastFullSyncTime() { return last_full_sync_time_; }

void StatusSourceImpl::SetLastFullSyncTime() { last_full_sync_time_ = provider_->clock().Now(); }

void StatusSourceImpl::OnStreamReady() {
  const std::vector<StatusKey> pending(undelivered_.begin(), undelivered_.end());
  for (const auto& key : pending) {
    auto it = last_updates_.find(key);
    if (it == last_updates_.end()) {
      undelivered_.erase(key);
      continue;
    }
    Report(key, it->second);
  }
}

void StatusSourceImpl::OnStreamLost() {
  undelivered_.insert(written_to_stream_.begin(), written_to_stream_.end());
  written_to_stream_.clear();
}

void StatusSourceImpl::DumpStats() {
  const auto now = provider_->clock().Now();
  for (const auto& entry : report_sender_->LastReportTimes()) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("Last reported time for %s:%s - %s", VerticalName(entry.first.first).c_str(),
             MsgTypeName(entry.first.second).c_str(), WallClockText(entry.second, now).c_str());
  }
  if (last_full_sync_time_) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("Last full sync time - %s", WallClockText(*last_full_sync_time_, now).c_str());
  }
}

}  // namespace qbx::StatusSource
