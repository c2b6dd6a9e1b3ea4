// A stand-in of the node's local monitoring provider: serves MonitoringProviderService,
// accepts the status source's RegisterStatusSource stream, asks it for a full sync and for
// periodic polling, records what it reports, and can drop the stream, stop answering or
// stop altogether (to be started again, as after a provider restart).
//
// Threading: every public operation may be called from any thread. mutex_ guards the
// recorded state and the current session; it is never held while calling into gRPC. Each
// session serialises its own gRPC operations with its own (recursive) lock, because gRPC may
// run a reaction inline in the thread that started an operation.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zumbra/qbx/monitoring/monitoring_provider.pb.h"

namespace grpc {
class Server;
}

namespace qbx::tools {

class MonitoringStandin {
 public:
  using SourceMsg = zumbra::qbx::monitoring::MonitoringStatusSourceMsg;
  using ProviderMsg = zumbra::qbx::monitoring::MonitoringStatusProviderMsg;
  using VerticalReport = zumbra::qbx::monitoring::MonitoringStatusVerticalReportMsg;

  static constexpr const char* kDefaultAddress = "127.0.0.1:9100";
  // Recorded messages kept per kind; older ones are dropped.
  static constexpr size_t kMaxRecorded = 4096;

  struct Options {
    // On a registration, ask for a full sync and then for periodic polling.
    bool fullSyncOnRegister = true;
    bool startPollOnRegister = true;
    // Called (without any lock held) for every message the source sends.
    std::function<void(const SourceMsg&)> onMessage;
  };

  MonitoringStandin();
  explicit MonitoringStandin(Options options);
  ~MonitoringStandin();
  MonitoringStandin(const MonitoringStandin&) = delete;
  MonitoringStandin& operator=(const MonitoringStandin&) = delete;

  // Serves on `address` ("127.0.0.1:0" picks a free port). Returns the port, or -1. May be
  // called again after Stop, on the same address, to play a restarted provider.
  int Start(const std::string& address = kDefaultAddress);
  // Ends every stream and stops serving.
  void Stop();
  int Port() const;

  // Requests to the source on the current stream; false without one.
  bool RequestFullSync(std::optional<bool> collectionEnabled = std::nullopt);
  bool StartPeriodicPoll();
  bool SendPollingConfig(std::optional<bool> collectionEnabled,
                         const std::vector<std::pair<std::string, int64_t>>& intervals);
  bool Send(const ProviderMsg& msg);
  // Ends the current stream with UNAVAILABLE; the connection stays up.
  bool DropStream();
  // While false, the stand-in neither reads what the source writes nor sends anything.
  void SetAnswering(bool answering);

  int RegistrationCount() const;
  int HeartbeatCount() const;
  std::vector<VerticalReport> Reports() const;
  std::vector<zumbra::qbx::monitoring::MonitoringStatusFullSyncResponseMsg> FullSyncResponses() const;
  std::vector<std::vector<int>> Heartbeats() const;
  bool HasStream() const;
  void ClearRecords();

  // Waits until `pred` holds, or `limit` passes; `pred` is re-checked after every change.
  bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit) const;

  class Session;

 private:
  class Service;
  friend class Session;

  void OnSourceMessage(const std::shared_ptr<Session>& session, const SourceMsg& msg);
  void OnSessionStarted(const std::shared_ptr<Session>& session);
  void OnSessionDone(const Session* session);
  std::shared_ptr<Session> CurrentSession() const;
  bool Answering() const;

  const Options options_;
  std::unique_ptr<Service> service_;
  std::unique_ptr<grpc::Server> server_;
  int port_ = -1;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  uint64_t generation_ = 0;  // counts recorded changes, for WaitFor
  std::shared_ptr<Session> session_;
  bool answering_ = true;
  int registrations_ = 0;
  std::vector<VerticalReport> reports_;
  std::vector<std::vector<int>> heartbeats_;
  std::vector<zumbra::qbx::monitoring::MonitoringStatusFullSyncResponseMsg> full_sync_responses_;
};

}  // namespace qbx::tools
