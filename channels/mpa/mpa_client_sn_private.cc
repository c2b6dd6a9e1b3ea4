#include "channels/mpa/mpa_client_sn_private.h"

#include <type_traits>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "channels/mpa/agg_svc_host_service.h"
#include "channels/mpa/mpa_client_agg_service.h"
#include "channels/mpa/mpa_client_app_specific.h"
#include "channels/mpa/mpa_client_mp_agg_service.h"
#include "channels/proxy/sn_proxy_client_common.h"
#include "channels/proxy/tn_proxy_client_common.h"
#include "core/stub_creator.h"
#include "platform/rpc/asio_qbx_rpc_provider.h"
#include "platform/rpc/call.h"
#include "platform/rpc/server_builder.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/timer.h"

namespace qbx {

namespace {

constexpr const char* kSub = "mpa-client";
using Unified = zumbra::qbx::messaging::GenericUnifiedMsg;

// The servers of the two process-wide services. Every client that registered an
// application holds its variant's server, so it serves as long as any of them lives; one is
// built again when an application registers after all of them were gone.
std::mutex gServerMutex;
std::weak_ptr<rpc::Server> gMpServer;    // AggSvcMpService, on a host with smart NICs
std::weak_ptr<rpc::Server> gHostServer;  // AggSvcHostService, on a smart NIC

std::chrono::milliseconds Ms(int64_t ms) { return std::chrono::milliseconds(ms < 0 ? 0 : ms); }

RetryPolicy PeerRetryPolicy() {
  return RetryPolicy(std::chrono::milliseconds(1000), std::chrono::milliseconds(5000), 2.0, -1);
}

template <class StubT>
constexpr bool kHostVariant = std::is_same_v<StubT, AggSvcHostStub>;

// Listens for `app` on `provider` and serves `service` there unless the process-wide server
// in `shared` still runs; `server` keeps whichever server serves. `fn` and `what` name the
// caller and the service in the logs.
template <class ServiceT, class ImplT>
void ServeAggService(AsioQbxProvider& provider, std::weak_ptr<rpc::Server>& shared, std::shared_ptr<rpc::Server>& server,
                     const std::shared_ptr<ImplT>& service, bool created, const std::string& appName, const char* fn,
                     const char* what, bool logStarted) {
  const char* app = appName.c_str();
  provider.rpc().transport().AddLocalEndpointIds({appName});
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] %s Added listening endpoint (%s)", app, fn, app);
  std::lock_guard<std::mutex> lock(gServerMutex);
  server = shared.lock();
  if (server || !service) return;
  if (!created) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] %s serving the %s again", app, fn, what);
  }
  auto builder = provider.rpc().server_builder();
  builder.RegisterService<ServiceT>(service.get());
  if constexpr (std::is_same_v<ServiceT, zumbra::qbx::agg_service::messaging::AggSvcHostService>) {
    builder.SetMaxReceiveMessageBytes(kAggSvcHostMaxRequestBytes);
  }
  builder.TrackOpenCalls(service->OpenCalls());
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] %s Registered Service", app, fn);
  server = std::shared_ptr<rpc::Server>(builder.BuildStarted());
  if (server) {
    shared = server;
    if (logStarted) {
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] %s Build Started", app, fn);
    }
  } else {
    QBX_LOG(loglevel::kError).subcomp(kSub).put("[%s] %s %s could not be served", app, fn, what);
  }
}

}  // namespace

void StartTNProxy() {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("StartTNProxy: Starting TN Proxy");
  if (auto tnProxy = TnProxyClientCommon::getInstance()) tnProxy->Start();
}

MpaClient::ClientFactory MpaClientSNFactory() {
  return [](const MpaClient::CreateArgs& args) -> std::shared_ptr<MpaClient> {
    if (!MpaClient::IsAggregationAppName(args.appName)) return nullptr;
    const uint32_t persona = MpaClient::NodePersona();
    if (persona == 1) {
      return std::make_shared<MpaClientSNPrivate<AggSvcHostStub>>(args, SNProxyClientCommon::getInstance());
    }
    if (persona == 2) {
      return std::make_shared<MpaClientSNPrivate<AggSvcMpStub>>(args, SNProxyClientCommon::getInstance());
    }
    return nullptr;
  };
}

template <class StubT>
MpaClientSNPrivate<StubT>::MpaClientSNPrivate(const CreateArgs& args, std::shared_ptr<SNProxyClientCommon> snProxy)
    : MpaClient(args),
      snProxy_(std::move(snProxy)),
      snProvider_(snProxy_ ? snProxy_->GetProvider() : nullptr),
      persona_(NodePersona()) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("MpaClientSNPrivate [%s] Ctor, persona %d", appName().c_str(), persona_);
}

template <class StubT>
MpaClientSNPrivate<StubT>::~MpaClientSNPrivate() {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("MpaClientSNPrivate [%s] Dtor", appName().c_str());
  std::unique_lock<std::shared_mutex> lock(stubLock_);
  ClearTimerMap();
  if (updateTimer_) updateTimer_->Cancel();
  if (purgeTimer_) purgeTimer_->Cancel();
}

template <class StubT>
std::weak_ptr<MpaClientSNPrivate<StubT>> MpaClientSNPrivate<StubT>::weakSelf() {
  return std::static_pointer_cast<MpaClientSNPrivate>(self().lock());
}

template <class StubT>
int32_t MpaClientSNPrivate<StubT>::ExpectedPeers() const {
  return snProxy_ ? snProxy_->NumSmartNics() : 0;
}

template <class StubT>
std::shared_ptr<MpaClientAppSpecific> MpaClientSNPrivate<StubT>::AppSpecific() {
  std::shared_lock<std::shared_mutex> lock(stubLock_);
  return appSpecific_;
}

template <class StubT>
void MpaClientSNPrivate<StubT>::SetAppSpecific(std::shared_ptr<MpaClientAppSpecific> appSpecific) {
  std::unique_lock<std::shared_mutex> lock(stubLock_);
  appSpecific_ = std::move(appSpecific);
}

// ---- the application layer and the served service ----

template <class StubT>
void MpaClientSNPrivate<StubT>::CreateAppSpecificInstance(const std::shared_ptr<MpaClient>& self) {
  const char* app = appName().c_str();
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] CreateAppSpecificInstance Begin", app);
  if constexpr (kHostVariant<StubT>) {
    // The host variant's layer faces the smart NICs (CreateSNHostAppSpecificInstance).
    (void)self;
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] CreateAppSpecificInstance : Not Implemented.", app);
  } else {
    std::shared_ptr<MpaClientAppSpecific> layer;
    if (IsAggregationAppName(appName())) {
      auto agg = std::make_shared<MpaClientAggService>(appName(), self);
      const bool created = AggSvcHostService::CreateInstance() == 1;
      auto service = AggSvcHostService::GetInstance();
      AggSvcHostService::Register(agg, appName());
      service_ = service;
      layer = agg;
      if (snProvider_ != nullptr) {
        ServeAggService<zumbra::qbx::agg_service::messaging::AggSvcHostService>(
            *snProvider_, gHostServer, server_, service, created, appName(), "CreateAppSpecificInstance", "host service",
            true);
      }
    }
    SetAppSpecific(layer);
    StartPurgeTimer();
  }
}

template <class StubT>
void MpaClientSNPrivate<StubT>::CreateSNHostAppSpecificInstance() {
  const char* app = appName().c_str();
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] CreateSNHostAppSpecificInstance Begin", app);
  if constexpr (!kHostVariant<StubT>) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] CreateSNHostAppSpecificInstance : Not Implemented.", app);
  } else {
    std::shared_ptr<MpaClientAppSpecific> layer;
    std::shared_ptr<MpaClient> owner = self().lock();
    if (IsAggregationAppName(appName()) && owner) {
      auto mp = std::make_shared<MpaClientMpAggService>(appName(), owner);
      const bool created = AggSvcMpService::CreateInstance() == 1;
      auto service = AggSvcMpService::GetInstance();
      AggSvcMpService::Register(mp, appName());
      service_ = service;
      layer = mp;
      if (snProvider_ != nullptr) {
        ServeAggService<zumbra::qbx::agg_service::messaging::AggSvcMpService>(
            *snProvider_, gMpServer, server_, service, created, appName(), "CreateSNHostAppSpecificInstance", "service",
            false);
      }
    }
    SetAppSpecific(layer);
    StartPurgeTimer();
  }
}

template <class StubT>
void MpaClientSNPrivate<StubT>::StartPurgeTimer() {
  if (snProvider_ != nullptr) {
    std::weak_ptr<MpaClientSNPrivate> weak = weakSelf();
    auto timer = snProvider_->timers().ScheduleRepeated(kPurgePeriod, [weak] {
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("PurgeStaleCallHandles Begin");
      auto me = weak.lock();
      if (!me) {
        QBX_LOG(loglevel::kWarning).subcomp(kSub).put("MpaClientSNPrivate has been destroyed already");
        return;
      }
      if (auto layer = me->AppSpecific()) layer->PurgeStaleCallHandles();
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] PurgeStaleCallHandles End", me->appName().c_str());
    });
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    if (purgeTimer_) purgeTimer_->Cancel();
    purgeTimer_ = timer;
  }
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] CreateAppSpecificInstance End (MPA_CLIENT_PURGE_TIMER: %d)",
                                             appName().c_str(), static_cast<int>(kPurgePeriod.count()));
}

template <class StubT>
void MpaClientSNPrivate<StubT>::ReleaseAppSpecificInstance() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] ReleaseAppSpecificInstance ", appName().c_str());
  // An unregistered application is no longer notified by the proxy client.
  if (snProxy_) snProxy_->RemoveClient(appName());
  SetRegistrationAcked(false);
  std::shared_ptr<MpaClientAppSpecific> layer;
  std::shared_ptr<void> service;
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    if (purgeTimer_) {
      purgeTimer_->Cancel();
      purgeTimer_.reset();
    }
    layer.swap(appSpecific_);
    service.swap(service_);
  }
  if (!layer) return;
  // The served service stops handing requests to the layer: one that arrives from now on,
  // while the rest of the close still holds this client and its server, is refused at
  // once as for an application that is not there; the server's shutdown would otherwise be
  // its only answer. A newer registration of the name stays.
  if constexpr (kHostVariant<StubT>) {
    AggSvcMpService::Unregister(layer, appName());
  } else {
    AggSvcHostService::Unregister(layer, appName());
  }
  // The clean-up of the stubs that follows a close no longer finds the layer: its open
  // calls are answered here, as refused by the application that is gone, and a request
  // that found the layer just before it left the service is refused when it is stored.
  layer->Release(rpc::AppStatus::APPLICATION_ERROR);
}

// ---- proxy registration and notifications ----

template <class StubT>
void MpaClientSNPrivate<StubT>::RegisterWithSNProxyClient() {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientSNPrivate::RegisterWithSNProxyClient", appName().c_str());
  if (!snProxy_) return;
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientSNPrivate::RegisterWithSNProxyClient Inside if",
                                             appName().c_str());
  // Weak references: the proxy client outlives the applications that unregister, and a
  // callback must never reach a client that is gone.
  std::weak_ptr<MpaClientSNPrivate> weak = weakSelf();
  snProxy_->SetSNProxyConnectionUp(appName(), [weak] {
    if (auto me = weak.lock()) me->OnSNProxyConnected();
  });
  snProxy_->SetSNProxyConnectionDown(appName(), [weak](rpc::CloseReason reason) {
    if (auto me = weak.lock()) me->OnSNProxyDisconnected(reason);
  });
  snProxy_->SetUpdateStubs(appName(), [weak] {
    if (auto me = weak.lock()) me->updateStubMap();
  });
}

template <class StubT>
void MpaClientSNPrivate<StubT>::OnSNProxyConnected() {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] SNProxy Connected.", appName().c_str());
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] HandleSNProxyConnected", appName().c_str());
  std::unique_lock<std::shared_mutex> lock(tnProxyStateLock_);
  snProxyConnected_ = true;
}

template <class StubT>
void MpaClientSNPrivate<StubT>::OnSNProxyDisconnected(rpc::CloseReason reason) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] SNProxy Disconnected (%s)", appName().c_str(),
                                             rpc::CloseReasonToCStr(reason));
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] HandleSNProxyDisconnected", appName().c_str());
  SetConnState(STATE_INIT);
  {
    std::unique_lock<std::shared_mutex> lock(tnProxyStateLock_);
    snProxyConnected_ = false;
    appInitCompleted_ = false;
  }
  CleanUpForStubs();
}

template <class StubT>
bool MpaClientSNPrivate<StubT>::IsSNProxyConnected() const {
  std::shared_lock<std::shared_mutex> lock(tnProxyStateLock_);
  return snProxyConnected_;
}

template <class StubT>
bool MpaClientSNPrivate<StubT>::ProxyUsable() {
  return IsSNProxyConnected() && snProxy_ && snProxy_->IsConnectedForForwarding();
}

// ---- the stub map ----

template <class StubT>
bool MpaClientSNPrivate<StubT>::IsMasterStubPending() {
  std::shared_lock<std::shared_mutex> lock(stubLock_);
  return !allStubsCreated_;
}

template <class StubT>
bool MpaClientSNPrivate<StubT>::AllStubsCreated() {
  std::shared_lock<std::shared_mutex> lock(stubLock_);
  return allStubsCreated_;
}

template <class StubT>
void MpaClientSNPrivate<StubT>::updateStubMap() {
  std::lock_guard<std::mutex> serial(updateMutex_);
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] updateStubMap", appName().c_str());
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    if (updatePending_) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] updateStubMap: Already Pending", appName().c_str());
      return;
    }
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] cleaning up for stubs", appName().c_str());
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    updatePending_ = true;
    ClearTimerMap();
    retryBudget_ = kRetryBudget;
  }
  performUpdateStubMap();
}

template <class StubT>
void MpaClientSNPrivate<StubT>::performUpdateStubMap() {
  const char* app = appName().c_str();
  if (WaitForInfightStubCreateRequest()) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] performUpdateStubMap: Re-scheduling self on provider thread", app);
    if (snProvider_ == nullptr) return;
    std::weak_ptr<MpaClientSNPrivate> weak = weakSelf();
    auto timer = snProvider_->timers().Schedule(kRescheduleDelay, [weak] {
      auto me = weak.lock();
      if (!me) {
        QBX_LOG(loglevel::kWarning).subcomp(kSub).put("performUpdateStubMapCb: MpaClientSNPrivate has been destroyed already");
        return;
      }
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] In performUpdateStubMapCb()", me->appName().c_str());
      std::lock_guard<std::mutex> serial(me->updateMutex_);
      me->performUpdateStubMap();
    });
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    if (updateTimer_) updateTimer_->Cancel();
    updateTimer_ = timer;
    return;
  }
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    updatePending_ = false;
  }
  std::set<std::string> newSet;
  if (snProxy_) {
    for (const auto& entry : snProxy_->GetSnUuidMap()) newSet.insert(entry.first);
    // The peer list comes with the product version: it is the management-plane version
    // that this client's vertical is told with its registration acknowledgement.
    zumbra::qbx::ProductVersionMsg version = snProxy_->GetProductVersion();
    if (version.has_major() || version.has_minor()) {
      std::unique_lock<std::shared_mutex> lock(stubLock_);
      mpVersion_ = std::move(version);
    }
  }
  {
    std::unique_lock<std::shared_mutex> lock(snSetLock_);
    snSet_ = newSet;
  }
  // Every stub and back-off of a peer outside the new list goes, not only those of the old
  // list: a stub made for a peer after it left would count towards a complete set.
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    for (auto it = stubMap_.begin(); it != stubMap_.end();) {
      if (newSet.count(it->first) != 0) {
        ++it;
        continue;
      }
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] performUpdateStubMap: Removing stub for SN (%s)", app,
                                                 it->first.c_str());
      it = stubMap_.erase(it);
      // One peer fewer: the remaining stubs no longer make a complete set.
      allStubsCreated_ = false;
    }
    std::erase_if(retryPolicies_, [&newSet](const auto& entry) { return newSet.count(entry.first) == 0; });
  }
  for (const auto& uuid : newSet) {
    {
      std::shared_lock<std::shared_mutex> lock(stubLock_);
      if (stubMap_.count(uuid) != 0) continue;
    }
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] performUpdateStubMap: New SN/SNHost (%s)", app, uuid.c_str());
    {
      std::unique_lock<std::shared_mutex> state(tnProxyStateLock_);
      appInitCompleted_ = false;
    }
    {
      std::unique_lock<std::shared_mutex> lock(stubLock_);
      allStubsCreated_ = false;
      if (retryPolicies_.count(uuid) == 0) retryPolicies_.emplace(uuid, PeerRetryPolicy());
    }
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] performUpdateStubMap: Calling GetStub for SN (%s)", app, uuid.c_str());
    GetStub(uuid);
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] performUpdateStubMap End", app);
}

template <class StubT>
bool MpaClientSNPrivate<StubT>::WaitForInfightStubCreateRequest() {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] WaitForInfightStubCreateRequest", appName().c_str());
  std::unique_lock<std::shared_mutex> lock(stubLock_);
  if (inFlight_.empty()) return false;
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Waiting for (%lu) stub creation request(s) to finish.",
                                             appName().c_str(), static_cast<unsigned long>(inFlight_.size()));
  for (const auto& uuid : inFlight_) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] stub-creation pending for SN (%s)", appName().c_str(), uuid.c_str());
  }
  return true;
}

template <class StubT>
void MpaClientSNPrivate<StubT>::GetStub(const std::string& peerUuid) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientSNPrivate GetStub (%s)", appName().c_str(), peerUuid.c_str());
  if (snProvider_ == nullptr) return;
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    inFlight_.insert(peerUuid);
  }
  std::weak_ptr<MpaClientSNPrivate> weak = weakSelf();
  snProvider_->rpc().stub_factory().template create<StubT>(
      getLocalUuidStr(), "qbx://" + peerUuid, rpc::ClientContext(),
      [weak, peerUuid](const std::optional<StubT>& stub, rpc::StubCreationStatus status) {
        auto me = weak.lock();
        if (!me) {
          QBX_LOG(loglevel::kWarning)
              .subcomp(kSub)
              .put("StubCreateDone: MpaClientSNPrivate has been destroyed already (%s)", peerUuid.c_str());
          return;
        }
        QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] In StubCreateDone() (%s)", me->appName().c_str(), peerUuid.c_str());
        me->StubCreateDone_(peerUuid, stub, status);
      },
      rpc::StubFactory::NoRetry(), rpc::RpcChannelOptions{1, 0, 0}, std::chrono::milliseconds(-1));
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientSNPrivate GetStub: Stub creation scheduled for SN (%s)",
                                              appName().c_str(), peerUuid.c_str());
}

template <class StubT>
void MpaClientSNPrivate<StubT>::ScheduleRetryLocked(const std::string& peerUuid) {
  const char* app = appName().c_str();
  if (inFlight_.count(peerUuid) == 0) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Not re-trying Stub creation for SN (%s), uuid not in in-flight set.",
                                               app, peerUuid.c_str());
  } else if (updatePending_) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Not re-trying Stub creation for SN (%s), update stub is pending.", app,
                                               peerUuid.c_str());
    RemoveSNUuidFromInflightSet(peerUuid);
  } else if (timerMap_.count(peerUuid) != 0) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Timer for SN (%s) already present in timer_map_", app, peerUuid.c_str());
  } else if (snProvider_ != nullptr) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientSNPrivate::StubCreateDone_: Starting timer for retry. SN (%s)",
                                               app, peerUuid.c_str());
    auto policy = retryPolicies_.find(peerUuid);
    if (policy == retryPolicies_.end()) policy = retryPolicies_.emplace(peerUuid, RetryPolicy()).first;
    std::weak_ptr<MpaClientSNPrivate> weak = weakSelf();
    timerMap_[peerUuid] = snProvider_->timers().Schedule(Ms(policy->second.NextDelay()), [weak, peerUuid] {
      auto me = weak.lock();
      if (!me) {
        QBX_LOG(loglevel::kWarning).subcomp(kSub).put("MpaClientSNPrivate has been destroyed already");
        return;
      }
      me->GetStub_(peerUuid);
    });
  }
}

template <class StubT>
void MpaClientSNPrivate<StubT>::StubCreateDone_(const std::string& peerUuid, const std::optional<StubT>& stub,
                                                rpc::StubCreationStatus status) {
  const char* app = appName().c_str();
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientSNPrivate::StubCreateDone_ (%s)", app, peerUuid.c_str());
  if (status != rpc::StubCreationStatus::kCreated || !stub) {
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientSNPrivate::StubCreateDone_: Stub creation failed for sn (%s)",
                                                app, peerUuid.c_str());
    if (!ProxyUsable()) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Not connected with SNProxy. Not re-trying stub creation for SN (%s).",
                                                 app, peerUuid.c_str());
      std::unique_lock<std::shared_mutex> lock(stubLock_);
      RemoveSNUuidFromInflightSet(peerUuid);
      return;
    }
    bool now = false;
    {
      std::unique_lock<std::shared_mutex> lock(stubLock_);
      if (--retryBudget_ < 1) {
        retryBudget_ = kRetryBudget;
        now = true;
      } else {
        ScheduleRetryLocked(peerUuid);
      }
    }
    if (now) GetStub(peerUuid);
    return;
  }
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientSNPrivate::StubCreateDone_: Stub creation successful for sn (%s)",
                                             app, peerUuid.c_str());
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    auto policy = retryPolicies_.find(peerUuid);
    if (policy != retryPolicies_.end()) policy->second.Reset();
  }
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Stub created for SN (%s).", app, peerUuid.c_str());
  bool completed = false;
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    if (inFlight_.count(peerUuid) == 0) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Dropping Stub for SN (%s), uuid not in in-flight set.", app,
                                                 peerUuid.c_str());
      return;
    }
    if (updatePending_) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Dropping Stub for SN (%s), update stub is pending.", app,
                                                 peerUuid.c_str());
      RemoveSNUuidFromInflightSet(peerUuid);
      return;
    }
    RemoveSNUuidFromInflightSet(peerUuid);
    StubT copy = *stub;
    std::weak_ptr<MpaClientSNPrivate> weak = weakSelf();
    copy.SetOnStreamDown([weak, peerUuid](rpc::CloseReason reason) {
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("OnStreamDown_ for SN (%s), reason (%s)", peerUuid.c_str(),
                                                  rpc::CloseReasonToCStr(reason));
      auto me = weak.lock();
      if (!me) {
        QBX_LOG(loglevel::kWarning).subcomp(kSub).put("OnStreamDown_: MpaClientSNPrivate has been destroyed already");
        return;
      }
      me->OnStreamDown(peerUuid, reason);
    });
    stubMap_.insert_or_assign(peerUuid, copy);
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Stub saved for SN (%s).", app, peerUuid.c_str());
    if (!allStubsCreated_ && static_cast<int64_t>(stubMap_.size()) == ExpectedPeers()) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] StubCreateDone_: All SN stubs created", app);
      allStubsCreated_ = true;
      completed = true;
    }
  }
  if (!completed) return;
  SetConnState(STATE_CONNECTED);
  AppInitHandshake();
  if (GetMpaClientAllSNAppsConnected()) StartTNProxy();
}

template <class StubT>
void MpaClientSNPrivate<StubT>::GetStub_(const std::string& peerUuid) {
  const char* app = appName().c_str();
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] GetStub_ for SN (%s).", app, peerUuid.c_str());
  const bool connected = IsSNProxyConnected();
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    if (timerMap_.erase(peerUuid) == 0) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] GetStub_ Timer for SN (%s) is not present in timer_map_", app,
                                                 peerUuid.c_str());
    }
    if (!connected) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] GetStub_ SN (%s), not connected to SNProxy.", app, peerUuid.c_str());
      RemoveSNUuidFromInflightSet(peerUuid);
      return;
    }
    if (updatePending_) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] GetStub_ SN (%s), update stub pending.", app, peerUuid.c_str());
      RemoveSNUuidFromInflightSet(peerUuid);
      return;
    }
  }
  GetStub(peerUuid);
}

template <class StubT>
void MpaClientSNPrivate<StubT>::OnStreamDown(const std::string& peerUuid, rpc::CloseReason reason) {
  const char* app = appName().c_str();
  const char* why = rpc::CloseReasonToCStr(reason);
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] OnStreamDown for SN (%s), reason (%s)", app, peerUuid.c_str(), why);
  bool lastGone = false;
  bool pending = false;
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    // A pending retry would make a second stub beside the one made below: cancel it.
    auto timer = timerMap_.find(peerUuid);
    if (timer != timerMap_.end()) {
      if (timer->second) timer->second->Cancel();
      timerMap_.erase(timer);
      inFlight_.erase(peerUuid);
    }
    const bool had = stubMap_.erase(peerUuid) != 0;
    lastGone = had && stubMap_.empty();
    retryBudget_ = kRetryBudget;
    allStubsCreated_ = false;
    pending = updatePending_;
  }
  if (lastGone) {
    SetConnState(STATE_INIT);
    {
      std::unique_lock<std::shared_mutex> state(tnProxyStateLock_);
      appInitCompleted_ = false;
    }
    if (auto layer = AppSpecific()) layer->SendCloseToVertical(true);
  }
  if (pending) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] OnStreamDown SN (%s), not re-trying : updateStubMap pending.", app,
                                               peerUuid.c_str());
    return;
  }
  // A peer that left the list is never made again, whatever ended its stream: no later list
  // would remove that stub. A listed peer's shut-down or idle stream is made again too:
  // otherwise the smart NIC stays out of reach until an unrelated event makes its stub.
  {
    std::shared_lock<std::shared_mutex> lock(snSetLock_);
    if (snSet_.count(peerUuid) == 0) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] OnStreamDown for SN (%s), reason (%s): SN was removed from cluster",
                                                 app, peerUuid.c_str(), why);
      return;
    }
  }
  if (ProxyUsable()) {
    GetStub(peerUuid);
  } else {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] OnStreamDown SN (%s), not connected to SNProxy.", app, peerUuid.c_str());
  }
}

template <class StubT>
void MpaClientSNPrivate<StubT>::RemoveSNUuidFromInflightSet(const std::string& peerUuid) {
  if (inFlight_.erase(peerUuid) == 0) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] RemoveSNUuidFromInflightSet (%s) is not present in inflight set",
                                               appName().c_str(), peerUuid.c_str());
  }
}

template <class StubT>
void MpaClientSNPrivate<StubT>::ClearTimerMap() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] ClearTimerMap (%lu)", appName().c_str(),
                                              static_cast<unsigned long>(timerMap_.size()));
  for (auto& [uuid, timer] : timerMap_) {
    if (timer) timer->Cancel();
    inFlight_.erase(uuid);
  }
  timerMap_.clear();
}

template <class StubT>
void MpaClientSNPrivate<StubT>::CleanUpForStubs() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] CleanUpForStubs", appName().c_str());
  std::shared_ptr<MpaClientAppSpecific> layer;
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    allStubsCreated_ = false;
    ClearTimerMap();
    stubMap_.clear();
    retryBudget_ = kRetryBudget;
    if (!inFlight_.empty()) {
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] in-flight set size (%lu)", appName().c_str(),
                                                  static_cast<unsigned long>(inFlight_.size()));
      std::vector<std::string> list(inFlight_.begin(), inFlight_.end());
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] in-flight list size (%lu)", appName().c_str(),
                                                  static_cast<unsigned long>(list.size()));
      for (const auto& uuid : list) {
        QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] Removing (%s)", appName().c_str(), uuid.c_str());
        inFlight_.erase(uuid);
      }
    }
    layer = appSpecific_;
  }
  if (layer) layer->PurgeCallHandleMap();
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] CleanUpForStubs Done", appName().c_str());
}

// ---- the registration acknowledgement ----

template <class StubT>
void MpaClientSNPrivate<StubT>::AppInitHandshake() {
  const char* app = appName().c_str();
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientSNPrivate AppInitHandshake - Begin", app);
  {
    std::unique_lock<std::shared_mutex> state(tnProxyStateLock_);
    if (appInitCompleted_) {
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientSNPrivate::Reinitialization while in initialized state", app);
    }
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] HandleAppInitSuccess", app);
    appInitCompleted_ = true;
  }
  // Outside the state lock: the acknowledgement runs the application's receive callback.
  if (auto layer = AppSpecific()) layer->SendRegistrationAckToVertical(true);
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientSNPrivate AppInitHandshake : End", app);
}

// ---- look-ups ----

template <class StubT>
std::optional<StubT> MpaClientSNPrivate<StubT>::getSNStub(const std::string& peerUuid) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] getSNStub SN: (%s)", appName().c_str(), peerUuid.c_str());
  std::optional<StubT> stub;
  {
    std::shared_lock<std::shared_mutex> lock(stubLock_);
    auto it = stubMap_.find(peerUuid);
    if (it != stubMap_.end()) {
      stub = it->second;
    } else if (peerUuid.empty() && stubMap_.size() == 1) {
      // A smart NIC has one peer, its host: an unaddressed message goes there.
      stub = stubMap_.begin()->second;
    }
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] getSNStub End, SN: (%s), exist (%s)", appName().c_str(),
                                              peerUuid.c_str(), stub ? "true" : "false");
  return stub;
}

template <class StubT>
std::string MpaClientSNPrivate<StubT>::getLocalUuidStr() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientSNPrivate getLocalUuidStr", appName().c_str());
  return snProxy_ ? snProxy_->getSNUuidStr() : std::string();
}

template <class StubT>
bool MpaClientSNPrivate<StubT>::GetMpVersionSNMpaClient(uint32_t& major, uint32_t& minor) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] GetMpVersionSNMpaClient: Entered", appName().c_str());
  std::shared_lock<std::shared_mutex> lock(stubLock_);
  major = mpVersion_.has_major() && mpVersion_.major() > 0 ? static_cast<uint32_t>(mpVersion_.major()) : 0;
  minor = mpVersion_.has_minor() && mpVersion_.minor() > 0 ? static_cast<uint32_t>(mpVersion_.minor()) : 0;
  return true;
}

template <class StubT>
size_t MpaClientSNPrivate<StubT>::StubCount() {
  std::shared_lock<std::shared_mutex> lock(stubLock_);
  return stubMap_.size();
}

template <class StubT>
size_t MpaClientSNPrivate<StubT>::InflightCount() {
  std::shared_lock<std::shared_mutex> lock(stubLock_);
  return inFlight_.size();
}

template <class StubT>
size_t MpaClientSNPrivate<StubT>::PendingTimerCount() {
  std::shared_lock<std::shared_mutex> lock(stubLock_);
  return timerMap_.size();
}

// ---- sending ----

template <class StubT>
int32_t MpaClientSNPrivate<StubT>::SendMsgViaSNProxy(rmqClientMessage* message, const std::string& peerUuid) {
  const char* app = appName().c_str();
  if (message == nullptr) return -1;
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] SendMsgViaSNProxy: SN (%s) Message (%d)", app, peerUuid.c_str(),
                                             static_cast<int>(message->messageType));
  auto layer = AppSpecific();
  if (!layer) return -1;
  switch (message->messageType) {
    case 4:
    case 8:
    case 10:
    case 12:
      return persona_ == 1 ? layer->SendRequestToSN(message, peerUuid) : layer->SendRequest(message, peerUuid);
    case 9:
    case 11:
      return persona_ == 1 ? layer->RespondMsgToSN(message) : layer->RespondMsgByHeader(message);
    default:
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientSNPrivate SendMsgViaSNProxy: Unsupported message (%d)", app,
                                                 static_cast<int>(message->messageType));
      return -1;
  }
}

template <class StubT>
int32_t MpaClientSNPrivate<StubT>::RpcMsgHandler(const Unified& request, const std::string& peerUuid,
                                                 rpc::CallObserver<Unified>* observer, uint32_t /*seq*/) {
  const char* app = appName().c_str();
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] RpcMsgHandler Send message to SN (%s)", app, peerUuid.c_str());
  auto stub = getSNStub(peerUuid);
  if (!stub || observer == nullptr) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] RpcMsgHandler for SN (%s) has invalid stub", app, peerUuid.c_str());
    delete observer;  // never handed to a call: nobody else would release it
    return -1;
  }
  if (auto layer = AppSpecific()) layer->SetAphUuidInRpcCallObserver(observer, peerUuid);
  // Starts the call and returns: the reply reaches the observer on the RPC layer's thread.
  rpc::client::AsyncCall<Unified, Unified>(stub->channel(), "RpcMsgHandler", rpc::ClientContext(getLocalUuidStr()),
                                           request, observer);
  return 0;
}

template <class StubT>
int32_t MpaClientSNPrivate<StubT>::MsgHandler(const Unified& request, const std::string& peerUuid,
                                              rpc::CallObserver<zumbra::qbx::VoidMsg>* observer) {
  auto stub = getSNStub(peerUuid);
  if (!stub || observer == nullptr) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MsgHandler : Invalid stub for SN (%s)", appName().c_str(),
                                               peerUuid.c_str());
    delete observer;
    return -1;
  }
  if (auto layer = AppSpecific()) layer->SetAphUuidInVoidCallObserver(observer, peerUuid);
  rpc::client::AsyncCall<Unified, zumbra::qbx::VoidMsg>(stub->channel(), "MsgHandler",
                                                        rpc::ClientContext(getLocalUuidStr()), request, observer);
  return 0;
}

template class MpaClientSNPrivate<AggSvcHostStub>;
template class MpaClientSNPrivate<AggSvcMpStub>;

}  // namespace qbx
