#include "tools/monitoring_standin/monitoring_standin.h"

#include <deque>

#include <grpcpp/grpcpp.h>
#include <grpcpp/health_check_service_interface.h>

#include "zumbra/qbx/monitoring/monitoring_provider.grpc.pb.h"

namespace qbx::tools {

namespace mon = zumbra::qbx::monitoring;

class MonitoringStandin::Session : public grpc::ServerBidiReactor<SourceMsg, ProviderMsg> {
 public:
  explicit Session(MonitoringStandin* owner) : owner_(owner) {}

  void Begin(const std::shared_ptr<Session>& self) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    self_ = self;
    StartRead(&in_);
  }

  bool Send(const ProviderMsg& msg) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (finishing_) return false;
    if (writing_) {
      if (queue_.size() >= kMaxRecorded) return false;
      queue_.push_back(msg);
      return true;
    }
    current_ = msg;
    writing_ = true;
    StartWrite(&current_);
    return true;
  }

  void End(const grpc::Status& status) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (finishing_) return;
    finishing_ = true;
    queue_.clear();
    if (writing_) {
      pending_finish_ = status;
      return;
    }
    Finish(status);
  }

  void Resume() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!paused_ || finishing_) return;
    paused_ = false;
    StartRead(&in_);
  }

  void OnReadDone(bool ok) override {
    if (!ok) {
      End(grpc::Status::OK);
      return;
    }
    const SourceMsg msg = in_;
    owner_->OnSourceMessage(self_, msg);
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (finishing_) return;
    if (owner_->Answering()) {
      StartRead(&in_);
    } else {
      paused_ = true;
    }
  }

  void OnWriteDone(bool ok) override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    writing_ = false;
    if (!ok) {
      queue_.clear();
      if (!finishing_) {
        finishing_ = true;
        Finish(grpc::Status(grpc::StatusCode::UNAVAILABLE, "write failed"));
      } else if (pending_finish_) {
        Finish(*pending_finish_);
        pending_finish_.reset();
      }
      return;
    }
    if (pending_finish_) {
      Finish(*pending_finish_);
      pending_finish_.reset();
      return;
    }
    if (!queue_.empty()) {
      current_ = std::move(queue_.front());
      queue_.pop_front();
      writing_ = true;
      StartWrite(&current_);
    }
  }

  void OnCancel() override { End(grpc::Status::CANCELLED); }

  void OnDone() override {
    owner_->OnSessionDone(this);
    std::shared_ptr<Session> keep;
    {
      std::lock_guard<std::recursive_mutex> lock(mutex_);
      keep = std::move(self_);
    }
    // `keep` may be the last reference; the session ends here, as gRPC allows in OnDone.
  }

 private:
  MonitoringStandin* owner_;
  std::recursive_mutex mutex_;
  std::shared_ptr<Session> self_;
  SourceMsg in_;
  ProviderMsg current_;
  std::deque<ProviderMsg> queue_;
  bool writing_ = false;
  bool finishing_ = false;
  bool paused_ = false;
  std::optional<grpc::Status> pending_finish_;
};

class MonitoringStandin::Service : public mon::MonitoringProviderService::CallbackService {
 public:
  explicit Service(MonitoringStandin* owner) : owner_(owner) {}

  grpc::ServerBidiReactor<SourceMsg, ProviderMsg>* RegisterStatusSource(grpc::CallbackServerContext*) override {
    auto session = std::make_shared<Session>(owner_);
    owner_->OnSessionStarted(session);
    session->Begin(session);
    return session.get();
  }

 private:
  MonitoringStandin* owner_;
};

MonitoringStandin::MonitoringStandin() : MonitoringStandin(Options()) {}

MonitoringStandin::MonitoringStandin(Options options) : options_(std::move(options)) {}

MonitoringStandin::~MonitoringStandin() { Stop(); }

int MonitoringStandin::Start(const std::string& address) {
  if (server_) return port_;
  service_ = std::make_unique<Service>(this);
  // Clients check a service through the standard health service before they use it.
  grpc::EnableDefaultHealthCheckService(true);
  grpc::ServerBuilder builder;
  int port = -1;
  builder.AddListeningPort(address, grpc::InsecureServerCredentials(), &port);
  builder.RegisterService(service_.get());
  server_ = builder.BuildAndStart();
  if (!server_ || port <= 0) {
    server_.reset();
    service_.reset();
    return -1;
  }
  if (auto* health = server_->GetHealthCheckService()) {
    health->SetServingStatus(mon::MonitoringProviderService::service_full_name(), true);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  port_ = port;
  return port;
}

void MonitoringStandin::Stop() {
  if (!server_) return;
  if (auto session = CurrentSession()) session->End(grpc::Status(grpc::StatusCode::UNAVAILABLE, "provider stopping"));
  server_->Shutdown(std::chrono::system_clock::now() + std::chrono::milliseconds(200));
  server_->Wait();
  server_.reset();
  service_.reset();
  std::lock_guard<std::mutex> lock(mutex_);
  session_.reset();
  ++generation_;
  changed_.notify_all();
}

int MonitoringStandin::Port() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return port_;
}

std::shared_ptr<MonitoringStandin::Session> MonitoringStandin::CurrentSession() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return session_;
}

bool MonitoringStandin::Answering() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return answering_;
}

void MonitoringStandin::OnSessionStarted(const std::shared_ptr<Session>& session) {
  std::lock_guard<std::mutex> lock(mutex_);
  session_ = session;
  ++generation_;
  changed_.notify_all();
}

void MonitoringStandin::OnSessionDone(const Session* session) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (session_.get() == session) session_.reset();
  ++generation_;
  changed_.notify_all();
}

void MonitoringStandin::OnSourceMessage(const std::shared_ptr<Session>& session, const SourceMsg& msg) {
  bool registered = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (msg.msg_type()) {
      case SourceMsg::REGISTER:
        ++registrations_;
        registered = answering_;
        break;
      case SourceMsg::FULL_SYNC_RESPONSE:
        if (full_sync_responses_.size() < kMaxRecorded) full_sync_responses_.push_back(msg.full_sync_response_msg());
        for (const auto& report : msg.full_sync_response_msg().vertical_reports()) {
          if (reports_.size() < kMaxRecorded) reports_.push_back(report);
        }
        break;
      case SourceMsg::STATUS_REPORT:
        if (msg.status_report_msg().vertical_reports_size() == 0) {
          std::vector<int> verticals(msg.status_report_msg().verticals().begin(),
                                     msg.status_report_msg().verticals().end());
          if (heartbeats_.size() < kMaxRecorded) heartbeats_.push_back(std::move(verticals));
        }
        for (const auto& report : msg.status_report_msg().vertical_reports()) {
          if (reports_.size() < kMaxRecorded) reports_.push_back(report);
        }
        break;
      default:
        break;
    }
    ++generation_;
    changed_.notify_all();
  }
  if (options_.onMessage) options_.onMessage(msg);
  if (registered && session) {
    ProviderMsg out;
    if (options_.fullSyncOnRegister) {
      out.set_msg_type(ProviderMsg::FULL_SYNC_REQUEST);
      session->Send(out);
    }
    if (options_.startPollOnRegister) {
      out.Clear();
      out.set_msg_type(ProviderMsg::START_PERIODIC_POLL);
      session->Send(out);
    }
  }
}

bool MonitoringStandin::Send(const ProviderMsg& msg) {
  if (!Answering()) return false;
  auto session = CurrentSession();
  return session && session->Send(msg);
}

bool MonitoringStandin::RequestFullSync(std::optional<bool> collectionEnabled) {
  ProviderMsg msg;
  msg.set_msg_type(ProviderMsg::FULL_SYNC_REQUEST);
  if (collectionEnabled) msg.set_global_status_collection_enabled(*collectionEnabled);
  return Send(msg);
}

bool MonitoringStandin::StartPeriodicPoll() {
  ProviderMsg msg;
  msg.set_msg_type(ProviderMsg::START_PERIODIC_POLL);
  return Send(msg);
}

bool MonitoringStandin::SendPollingConfig(std::optional<bool> collectionEnabled,
                                          const std::vector<std::pair<std::string, int64_t>>& intervals) {
  ProviderMsg msg;
  msg.set_msg_type(ProviderMsg::POLLING_CONFIG);
  if (collectionEnabled) msg.set_global_status_collection_enabled(*collectionEnabled);
  for (const auto& entry : intervals) {
    auto* cfg = msg.add_polling_configs();
    cfg->set_feature_stack_name(entry.first);
    cfg->set_polling_interval(entry.second);
  }
  return Send(msg);
}

bool MonitoringStandin::DropStream() {
  auto session = CurrentSession();
  if (!session) return false;
  session->End(grpc::Status(grpc::StatusCode::UNAVAILABLE, "stream dropped by provider"));
  return true;
}

void MonitoringStandin::SetAnswering(bool answering) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    answering_ = answering;
  }
  if (answering) {
    if (auto session = CurrentSession()) session->Resume();
  }
}

int MonitoringStandin::RegistrationCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registrations_;
}

int MonitoringStandin::HeartbeatCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(heartbeats_.size());
}

std::vector<MonitoringStandin::VerticalReport> MonitoringStandin::Reports() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reports_;
}

std::vector<mon::MonitoringStatusFullSyncResponseMsg> MonitoringStandin::FullSyncResponses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return full_sync_responses_;
}

std::vector<std::vector<int>> MonitoringStandin::Heartbeats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return heartbeats_;
}

bool MonitoringStandin::HasStream() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return session_ != nullptr;
}

void MonitoringStandin::ClearRecords() {
  std::lock_guard<std::mutex> lock(mutex_);
  reports_.clear();
  heartbeats_.clear();
  full_sync_responses_.clear();
}

bool MonitoringStandin::WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit) const {
  const auto end = std::chrono::steady_clock::now() + limit;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const uint64_t seen = generation_;
    lock.unlock();
    const bool ok = pred();  // may use the accessors, which take the lock themselves
    lock.lock();
    if (ok) return true;
    if (!changed_.wait_until(lock, end, [&] { return generation_ != seen; })) {
      lock.unlock();
      return pred();
    }
  }
}

}  // namespace qbx::tools
