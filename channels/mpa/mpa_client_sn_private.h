// The messaging-channel client of one aggregation application across the host/smart-NIC
// boundary (qbx::MpaClientSNPrivate<Stub>), in two variants chosen by node persona:
// - persona 1, a host with smart NICs (MpaClientSNPrivate<AggSvcHostStub>): one stub of
//   AggSvcHostService per smart NIC; serves AggSvcMpService ("AggSvcMpSvc") through which
//   the smart NICs send up; its message layer is MpaClientMpAggService;
// - persona 2, the smart NIC itself (MpaClientSNPrivate<AggSvcMpStub>): one stub of
//   AggSvcMpService on the host; serves AggSvcHostService ("AggSvc") through which the host
//   asks; its message layer is MpaClientAggService.
// It follows the peer list of the smart-NIC proxy client, makes one stub per peer over the
// proxy's forwarding connection ("qbx://<peer>"), re-creates a stub whose stream goes down,
// and once every expected peer has a stub it tells the application it is registered.
//
// Threading:
// - Timers, stub completions, stream-down and proxy callbacks run on the smart-NIC proxy
//   client's forwarding provider; sends run on the caller's thread and never wait for a
//   peer: a stub is copied out under stubLock_ and the call is started after it is released.
// - Lock order: updateMutex_, then stubLock_, then tnProxyStateLock_ (the base's state lock,
//   which guards snProxyConnected_ and appInitCompleted_ here); connLock last. snSetLock_ is
//   never held together with stubLock_.
// - Nothing reaches the application (registration acknowledgement, close notice) with a
//   lock of this class held.
// - Every timer and callback holds a weak pointer; a client released before it runs is not
//   touched.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "channels/mpa/mpa_client.h"
#include "channels/mpa/mpa_client_private.h"
#include "platform/rpc/status.h"
#include "platform/rpc/stub.h"
#include "platform/runtime/retry_policy.h"
#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.grpc.pb.h"
#include "zumbra/qbx/product_version.pb.h"

namespace qbx {

class SNProxyClientCommon;
namespace rpc {
class Server;
}

using AggSvcHostStub = rpc::Stub<zumbra::qbx::agg_service::messaging::AggSvcHostService>;

template <class StubT>
class MpaClientSNPrivate : public MpaClient {
 public:
  static constexpr int32_t kRetryBudget = 100;
  static constexpr std::chrono::milliseconds kRescheduleDelay{500};
  static constexpr std::chrono::milliseconds kPurgePeriod{300000};

  // `snProxy` supplies the peer list, the local uuid and the provider of stubs and timers.
  MpaClientSNPrivate(const CreateArgs& args, std::shared_ptr<SNProxyClientCommon> snProxy);
  ~MpaClientSNPrivate() override;

  bool IsMasterStubPending() override;  // stub creation still pending
  void updateStubMap() override;
  void AppInitHandshake() override;
  void CreateAppSpecificInstance(const std::shared_ptr<MpaClient>& self) override;
  void ReleaseAppSpecificInstance() override;
  void RegisterWithSNProxyClient() override;
  void CreateSNHostAppSpecificInstance() override;
  int32_t SendMsgViaSNProxy(rmqClientMessage* message, const std::string& peerUuid) override;
  bool GetMpVersionSNMpaClient(uint32_t& major, uint32_t& minor) override;
  int32_t MsgHandler(const zumbra::qbx::messaging::GenericUnifiedMsg& request, const std::string& peerUuid,
                     rpc::CallObserver<zumbra::qbx::VoidMsg>* observer) override;
  int32_t RpcMsgHandler(const zumbra::qbx::messaging::GenericUnifiedMsg& request, const std::string& peerUuid,
                        rpc::CallObserver<zumbra::qbx::messaging::GenericUnifiedMsg>* observer,
                        uint32_t seq) override;
  void CleanUpForStubs() override;

  std::optional<StubT> getSNStub(const std::string& peerUuid);
  std::string getLocalUuidStr();

  // Proxy notifications.
  void OnSNProxyConnected();
  void OnSNProxyDisconnected(rpc::CloseReason reason);
  void OnStreamDown(const std::string& peerUuid, rpc::CloseReason reason);

  // The application layer (set by the instance creation, or injected by tests).
  std::shared_ptr<MpaClientAppSpecific> AppSpecific();
  std::shared_ptr<MpaClientAppSpecific> AppSpecificLayer() override { return AppSpecific(); }
  void SetAppSpecific(std::shared_ptr<MpaClientAppSpecific> appSpecific);

  // Observers for tests.
  size_t StubCount();
  size_t InflightCount();
  size_t PendingTimerCount();
  bool AllStubsCreated();
  bool IsSNProxyConnected() const;

 private:
  std::weak_ptr<MpaClientSNPrivate> weakSelf();
  void performUpdateStubMap();
  bool WaitForInfightStubCreateRequest();
  void GetStub(const std::string& peerUuid);
  void GetStub_(const std::string& peerUuid);
  void StubCreateDone_(const std::string& peerUuid, const std::optional<StubT>& stub, rpc::StubCreationStatus status);
  void RemoveSNUuidFromInflightSet(const std::string& peerUuid);  // stubLock_ held
  void ClearTimerMap();                                            // stubLock_ held
  void StartPurgeTimer();
  bool ProxyUsable();
  void ScheduleRetryLocked(const std::string& peerUuid);  // stubLock_ held
  int32_t ExpectedPeers() const;

  const std::shared_ptr<SNProxyClientCommon> snProxy_;
  AsioQbxProvider* const snProvider_;
  bool allStubsCreated_ = false;
  int32_t retryBudget_ = kRetryBudget;
  std::unordered_map<std::string, std::optional<StubT>> stubMap_;
  std::shared_mutex stubLock_;
  std::unordered_set<std::string> inFlight_;
  std::shared_ptr<MpaClientAppSpecific> appSpecific_;  // under stubLock_
  std::shared_ptr<void> service_;                      // keeps the process-wide service
  std::shared_ptr<rpc::Server> server_;
  std::unordered_map<std::string, std::shared_ptr<Timer>> timerMap_;
  std::shared_mutex snSetLock_;
  std::set<std::string> snSet_;
  bool updatePending_ = false;
  std::shared_ptr<Timer> updateTimer_;
  std::shared_ptr<Timer> purgeTimer_;
  zumbra::qbx::ProductVersionMsg mpVersion_;  // under stubLock_; from the proxy's peer-list updates
  const uint32_t persona_;
  std::unordered_map<std::string, RetryPolicy> retryPolicies_;
  std::mutex updateMutex_;
};

// The factory of the smart-NIC registrations' clients over the process-wide smart-NIC proxy
// client: the host variant on persona 1, the smart-NIC variant on persona 2; none for an
// application outside the aggregation applications or on another persona.
MpaClient::ClientFactory MpaClientSNFactory();

// Starts the transport-node proxy client once every smart-NIC client is connected.
void StartTNProxy();

}  // namespace qbx
