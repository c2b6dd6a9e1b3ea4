// The MPA client of one aggregation application over RPC to the management plane
// (qbx::MpaClientPrivate<AggSvcMpService stub>).
//
// It keeps one AggSvcMpService stub per APH that the transport-node proxy reports, made over
// the proxy's forwarding connection ("qbx://<aph>"), follows mastership changes, sends the
// application's messages to the Master APH (or a named one), and runs the app-init handshake
// with the master whenever a master stub becomes available.
//
// Threading:
// - Timer actions and stub callbacks run on the stub provider's thread (the proxy client's
//   forwarding provider); updateStubMap runs there too (posted by the proxy client);
//   SendMsgViaTnProxy, MsgHandler and RpcMsgHandler run on the sender's thread.
// - Lock order: updateStubMapMutex_, then tnProxyStateLock_ (base), then stubLock_, then
//   aphMapLock_. The app-init timers and retry policy are guarded by tnProxyStateLock_.
// - Nothing that reaches the application (registration acknowledgement, close notice) runs
//   with a lock of this class held: the decisions are taken under the locks and acted on
//   after they are released.
// - Every timer and stub callback holds a weak pointer; a client unregistered or destroyed
//   before it runs is not touched.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "channels/mpa/mpa_client.h"
#include "platform/rpc/status.h"
#include "platform/rpc/stub.h"
#include "platform/runtime/retry_policy.h"
#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.grpc.pb.h"

namespace qbx {

class TnProxyClientCommon;
namespace rpc {
class Server;
}

template <class StubT>
class MpaClientPrivate;

using AggSvcMpStub = rpc::Stub<zumbra::qbx::agg_service::messaging::AggSvcMpService>;

template <>
class MpaClientPrivate<AggSvcMpStub> : public MpaClient {
 public:
  static constexpr int32_t kStubRetryCountdown = 100;
  static constexpr std::chrono::milliseconds kRescheduleDelay{500};
  static constexpr std::chrono::milliseconds kAppInitWait{30000};
  static constexpr std::chrono::milliseconds kPurgePeriod{300000};

  // `tnProxy` supplies the APH list, the node uuid and the stub provider.
  MpaClientPrivate(const CreateArgs& args, std::shared_ptr<TnProxyClientCommon> tnProxy);
  ~MpaClientPrivate() override;

  // A factory for MpaClient::SetAggAppClientFactory over the process-wide proxy client.
  static ClientFactory Factory();
  // hash(node uuid + client kind) % n + 1000 ms: the same for every client of one node.
  static uint64_t Spread(const std::string& tnUuid, const std::string& clientKind, uint64_t n);

  bool IsMasterStubPending() override;
  void updateStubMap() override;
  void AppInitHandshake() override;
  void RegisterWithTnProxyClient() override;
  int32_t SendMsgViaTnProxy(rmqClientMessage* message, const std::string& correlationId,
                            const std::string& aphUuid) override;
  int32_t MsgHandler(const zumbra::qbx::messaging::GenericUnifiedMsg& request, const std::string& aphUuid,
                     rpc::CallObserver<zumbra::qbx::VoidMsg>* observer) override;
  int32_t RpcMsgHandler(const zumbra::qbx::messaging::GenericUnifiedMsg& request, const std::string& aphUuid,
                        rpc::CallObserver<zumbra::qbx::messaging::GenericUnifiedMsg>* observer,
                        uint32_t seq) override;
  void CleanUpForStubs() override;
  void CreateAppSpecificInstance(const std::shared_ptr<MpaClient>& self) override;
  void ReleaseAppSpecificInstance() override;
  bool GetMpVersionViaTnProxy(uint32_t& major, uint32_t& minor) override;
  bool CompleteAppInitHanshake(uint32_t seq, bool success) override;
  // Cancels and drops the app-init wait and retry timers, clears the completed flag and
  // makes outstanding replies stale: a closed application runs no further handshake.
  void HandleClose() override;

  // The application layer (set by CreateAppSpecificInstance, or injected by tests).
  void SetAppSpecific(std::shared_ptr<MpaClientAppSpecific> appSpecific);
  std::shared_ptr<MpaClientAppSpecific> AppSpecificLayer() override;
  bool IsKnownCaller(const std::string& callerId) const override;

  std::optional<AggSvcMpStub> getAphStub(const std::string& aph);
  std::string GetMasterAph();
  bool IsMasterAph(const std::string& aph);
  std::string getTnUuidStr();

  // Proxy notifications.
  void OnTnProxyConnected();
  void OnTnProxyDisconnected(rpc::CloseReason reason);
  void OnStreamDown(const std::string& aph, rpc::CloseReason reason);

  // Observers for tests.
  size_t StubCount();
  size_t InflightCount();
  size_t PendingTimerCount();
  uint32_t CurrentAppInitSeq() const { return app_init_seq_num_.load(); }
  bool HasAppInitWaitTimer() const;
  bool HasAppInitRetryTimer() const;
  // The server of the host service this client keeps serving (none when it serves nothing).
  std::shared_ptr<rpc::Server> ServerForTest() const { return rpcServer_; }

 private:
  struct AppInitAction;  // what to do once the state lock is released

  AsioQbxProvider* StubProvider() const;
  uint64_t SpreadMs(uint64_t n);
  void performUpdateStubMap();
  bool WaitForInfightStubCreateRequest();
  void ScheduleStubCreation(const std::string& aph, uint64_t delayMs);
  void ScheduleStubCreationWithLock(const std::string& aph, uint64_t delayMs);  // stubLock_ held
  void GetStub_(const std::string& aph);
  void GetStub(const std::string& aph);
  void StubCreateDone_(const std::string& aph, const std::optional<AggSvcMpStub>& stub,
                       rpc::StubCreationStatus status);
  void RemoveAphUuidFromInflightSet(const std::string& aph);  // stubLock_ held
  void ClearTimerMap();                                        // stubLock_ held
  // Handshake steps; tnProxyStateLock_ held exclusively. They record in `action` what must
  // reach the application after the lock is released.
  void AppInitHandshakeLocked(AppInitAction& action);
  void HandleAppInitSuccessLocked();
  void RetryAppInitHandshakeLocked(uint32_t seq);
  void ScheduleAppInitWaitTimerLocked(std::chrono::milliseconds delay, uint32_t seq);
  void ScheduleAppInitRetryTimerLocked(std::chrono::milliseconds delay, uint32_t seq);
  void CancelAppInitTimersLocked();
  void WaitAppInitTimeout(uint32_t seq);
  void WaitTnProxyTimeout(uint32_t seq);
  void RunAppInitAction(const AppInitAction& action);
  void StartHandshakeFromStubLogic();
  std::weak_ptr<MpaClientPrivate> weakSelf();

  const std::shared_ptr<TnProxyClientCommon> tnProxy_;
  const std::string clientKind_;
  std::shared_ptr<MpaClientAppSpecific> appSpecific_;  // under stubLock_
  bool masterStubReady_ = false;
  int32_t stubRetryCountdown_ = kStubRetryCountdown;
  std::unordered_map<std::string, AggSvcMpStub> stubMap_;
  std::shared_mutex stubLock_;
  std::unordered_set<std::string> inflightSet_;
  std::unordered_map<std::string, std::shared_ptr<Timer>> timerMap_;
  std::shared_mutex aphMapLock_;
  std::map<std::string, bool> aphMap_;
  bool updateStubPending_ = false;
  std::shared_ptr<Timer> rescheduleTimer_;
  std::shared_ptr<Timer> purgeTimer_;
  std::unordered_map<std::string, RetryPolicy> stubRetryPolicies_;
  std::mutex updateStubMapMutex_;
  // App-init state beside the base's (under tnProxyStateLock_).
  uint32_t lastAppInitWaitSeq_ = 0;
  std::shared_ptr<Timer> appInitWaitTimer_;
  std::shared_ptr<Timer> appInitRetryTimer_;
  RetryPolicy appInitRetryPolicy_;
  // The host service's server (shared by every client; see CreateAppSpecificInstance).
  std::shared_ptr<rpc::Server> rpcServer_;
};

}  // namespace qbx
