#include "channels/mpa/mpa_client_private.h"

#include <exception>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "channels/mpa/agg_svc_host_service.h"
#include "channels/mpa/mpa_client_agg_service.h"
#include "channels/mpa/mpa_client_app_specific.h"
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
using Self = MpaClientPrivate<AggSvcMpStub>;
using Unified = zumbra::qbx::messaging::GenericUnifiedMsg;

// Set while this thread sends an app-init request, so that RpcMsgHandler keeps the call
// under its sequence number whatever that number is (0 included).
thread_local bool t_sendingAppInit = false;

std::chrono::milliseconds Ms(int64_t ms) { return std::chrono::milliseconds(ms < 0 ? 0 : ms); }

// The server of the process-wide host service. Every client that registered an
// application holds it, so it serves as long as any of them lives; one is built again when
// an application registers after all of them were gone (the service instance itself stays).
std::mutex gHostServerMutex;
std::weak_ptr<rpc::Server> gHostServer;

}  // namespace

struct Self::AppInitAction {
  bool sendAck = false;
};

Self::MpaClientPrivate(const CreateArgs& args, std::shared_ptr<TnProxyClientCommon> tnProxy)
    : MpaClient(args),
      tnProxy_(std::move(tnProxy)),
      clientKind_(args.clientKind),
      appInitRetryPolicy_(std::chrono::milliseconds(10000), std::chrono::milliseconds(30000), 2.0, -1) {}

Self::~MpaClientPrivate() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("MpaClientPrivate [%s] Dtor", appName().c_str());
  std::unique_lock<std::shared_mutex> lock(stubLock_);
  ClearTimerMap();
  if (rescheduleTimer_) rescheduleTimer_->Cancel();
  if (purgeTimer_) purgeTimer_->Cancel();
  if (appInitWaitTimer_) appInitWaitTimer_->Cancel();
  if (appInitRetryTimer_) appInitRetryTimer_->Cancel();
}

MpaClient::ClientFactory Self::Factory() {
  return [](const CreateArgs& args) -> std::shared_ptr<MpaClient> {
    return std::make_shared<Self>(args, TnProxyClientCommon::getInstance());
  };
}

uint64_t Self::Spread(const std::string& tnUuid, const std::string& clientKind, uint64_t n) {
  const uint64_t hash = std::hash<std::string>()(tnUuid + clientKind);
  return (n == 0 ? 0 : hash % n) + 1000;
}

std::weak_ptr<Self> Self::weakSelf() { return std::static_pointer_cast<Self>(self().lock()); }

AsioQbxProvider* Self::StubProvider() const { return tnProxy_ ? tnProxy_->GetProvider() : nullptr; }

uint64_t Self::SpreadMs(uint64_t n) { return Spread(getTnUuidStr(), clientKind_, n); }

bool Self::IsKnownCaller(const std::string& callerId) const {
  // Without the proxy client no APH is known, so nobody may call.
  return !callerId.empty() && tnProxy_ && tnProxy_->HasAph(callerId);
}

std::shared_ptr<MpaClientAppSpecific> Self::AppSpecificLayer() {
  std::shared_lock<std::shared_mutex> lock(stubLock_);
  return appSpecific_;
}

void Self::SetAppSpecific(std::shared_ptr<MpaClientAppSpecific> appSpecific) {
  std::unique_lock<std::shared_mutex> lock(stubLock_);
  appSpecific_ = std::move(appSpecific);
}

void Self::CreateAppSpecificInstance(const std::shared_ptr<MpaClient>& self) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] CreateAppSpecificInstance Begin", appName().c_str());
  AsioQbxProvider* provider = StubProvider();
  if (IsAggregationAppName(appName())) {
    auto layer = std::make_shared<MpaClientAggService>(appName(), self);
    const bool created = AggSvcHostService::CreateInstance() == 1;
    auto service = AggSvcHostService::GetInstance();
    AggSvcHostService::Register(layer, appName());
    SetAppSpecific(layer);
    if (provider != nullptr) {
      provider->rpc().transport().AddLocalEndpointIds({appName()});
      QBX_LOG(loglevel::kDebug)
          .subcomp(kSub)
          .put("[%s] CreateAppSpecificInstance Added listening endpoint (%s)", appName().c_str(), appName().c_str());
      std::lock_guard<std::mutex> lock(gHostServerMutex);
      rpcServer_ = gHostServer.lock();
      if (!rpcServer_ && service) {
        if (!created) {
          QBX_LOG(loglevel::kInfo)
              .subcomp(kSub)
              .put("[%s] CreateAppSpecificInstance host service not served any more, serving it again",
                   appName().c_str());
        }
        auto builder = provider->rpc().server_builder();
        rpc::ServiceOptions options;
        options.fields[0] = 1;
        builder.RegisterService<zumbra::qbx::agg_service::messaging::AggSvcHostService>(service.get(), options)
            .SetMaxReceiveMessageBytes(kAggSvcHostMaxRequestBytes);
        builder.TrackOpenCalls(service->OpenCalls());
        QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] CreateAppSpecificInstance Registered Service", appName().c_str());
        rpcServer_ = std::shared_ptr<rpc::Server>(builder.BuildStarted());
        if (rpcServer_) {
          gHostServer = rpcServer_;
          QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] CreateAppSpecificInstance Build Started", appName().c_str());
        } else {
          QBX_LOG(loglevel::kError)
              .subcomp(kSub)
              .put("[%s] CreateAppSpecificInstance host service could not be served", appName().c_str());
        }
      }
    }
  }
  if (provider != nullptr) {
    std::weak_ptr<Self> weak = weakSelf();
    purgeTimer_ = provider->timers().ScheduleRepeated(kPurgePeriod, [weak] {
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("PurgeStaleCallHandles Begin");
      auto me = weak.lock();
      if (!me) {
        QBX_LOG(loglevel::kWarning).subcomp(kSub).put("MpaClientPrivate has been destroyed already");
        return;
      }
      std::shared_ptr<MpaClientAppSpecific> layer;
      {
        std::shared_lock<std::shared_mutex> lock(me->stubLock_);
        layer = me->appSpecific_;
      }
      if (layer) layer->PurgeStaleCallHandles();
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] PurgeStaleCallHandles End", me->appName().c_str());
    });
  }
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] CreateAppSpecificInstance End (MPA_CLIENT_PURGE_TIMER: %d)",
                                             appName().c_str(), static_cast<int>(kPurgePeriod.count()));
}

void Self::ReleaseAppSpecificInstance() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] ReleaseAppSpecificInstance ", appName().c_str());
  // An unregistered application is no longer notified by the proxy client.
  if (tnProxy_) tnProxy_->RemoveClient(appName());
  // The host service keeps this layer: not ready before the purge, so that a request that
  // still arrives is refused instead of being stored where nobody answers it.
  SetRegistrationAcked(false);
  std::shared_ptr<MpaClientAppSpecific> layer;
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    if (purgeTimer_) {
      purgeTimer_->Cancel();
      purgeTimer_.reset();
    }
    layer.swap(appSpecific_);
  }
  // Nobody answers the application's open calls any more. Answered now, they neither keep
  // their callers waiting nor keep the host service's server from shutting down.
  if (layer) layer->PurgeCallHandleMap();
}

// ---- proxy registration and notifications ----

void Self::RegisterWithTnProxyClient() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientPrivate::RegisterWithTnProxyClient", appName().c_str());
  if (!tnProxy_) return;
  // Weak references: the proxy client outlives the applications that unregister.
  std::weak_ptr<Self> weak = weakSelf();
  tnProxy_->SetTnProxyConnectionUp(appName(), [weak] {
    if (auto me = weak.lock()) me->OnTnProxyConnected();
  });
  tnProxy_->SetTnProxyConnectionDown(appName(), [weak](rpc::CloseReason reason) {
    if (auto me = weak.lock()) me->OnTnProxyDisconnected(reason);
  });
  tnProxy_->SetUpdateStubs(appName(), [weak] {
    if (auto me = weak.lock()) me->updateStubMap();
  });
}

void Self::OnTnProxyConnected() {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] TnProxy Connected.", appName().c_str());
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] HandleTnProxyConnected", appName().c_str());
  std::unique_lock<std::shared_mutex> lock(tnProxyStateLock_);
  tnProxyConnected_ = true;
  CancelAppInitTimersLocked();
}

void Self::OnTnProxyDisconnected(rpc::CloseReason reason) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] TnProxy Disconnected (%s)", appName().c_str(),
                                             rpc::CloseReasonToCStr(reason));
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] HandleTnProxyDisconnected", appName().c_str());
  SetConnState(STATE_INIT);
  // Not ready before CleanUpForStubs purges the open calls: a request stored after the
  // purge is then refused by the host service instead of reaching a vertical whose answer
  // could not be sent.
  SetRegistrationAcked(false);
  bool hadMaster = false;
  std::shared_ptr<MpaClientAppSpecific> layer;
  {
    std::unique_lock<std::shared_mutex> lock(tnProxyStateLock_);
    tnProxyConnected_ = false;
    appInitCompleted_ = false;
    CancelAppInitTimersLocked();
    {
      std::shared_lock<std::shared_mutex> stubs(stubLock_);
      hadMaster = masterStubReady_;
      layer = appSpecific_;
    }
    CleanUpForStubs();
    GetNewAppInitSequenceNumber();
  }
  // The master's stream went down with the connection, but its stubs are gone now, so its
  // stream-down notice never comes: the application learns here that the channel closed,
  // and exchanges nothing until the next handshake acknowledges it again.
  if (hadMaster && layer) layer->SendCloseToVertical(false);
}

// ---- the stub map ----

bool Self::IsMasterStubPending() {
  std::shared_lock<std::shared_mutex> lock(stubLock_);
  return !masterStubReady_;
}

void Self::updateStubMap() {
  {
    std::lock_guard<std::mutex> serial(updateStubMapMutex_);
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] updateStubMap", appName().c_str());
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    if (updateStubPending_) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] updateStubMap: Already Pending", appName().c_str());
      return;
    }
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] cleaning up for stubs", appName().c_str());
    updateStubPending_ = true;
    ClearTimerMap();
    stubRetryCountdown_ = kStubRetryCountdown;
  }
  // The application learns the node's uuid from its open callback. It runs with no lock of
  // this client held, so it may call back into the client; the update stays marked pending
  // meanwhile, so another one cannot start in between.
  if (const OpenCallback open = GetOpenCallback()) {
    try {
      open(getTnUuidStr());
    } catch (const std::exception& e) {
      QBX_LOG(loglevel::kError).subcomp(kSub).put("[%s] updateStubMap: open callback failed: %s", appName().c_str(), e.what());
    } catch (...) {
      QBX_LOG(loglevel::kError).subcomp(kSub).put("[%s] updateStubMap: open callback failed", appName().c_str());
    }
  }
  std::lock_guard<std::mutex> serial(updateStubMapMutex_);
  performUpdateStubMap();
}

void Self::performUpdateStubMap() {
  if (WaitForInfightStubCreateRequest()) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] performUpdateStubMap: Re-scheduling self on provider thread",
                                               appName().c_str());
    AsioQbxProvider* provider = StubProvider();
    if (!provider) return;
    std::weak_ptr<Self> weak = weakSelf();
    auto timer = provider->timers().Schedule(kRescheduleDelay, [weak] {
      auto me = weak.lock();
      if (!me) {
        QBX_LOG(loglevel::kWarning).subcomp(kSub).put("performUpdateStubMapCb: MpaClientPrivate has been destroyed already");
        return;
      }
      std::lock_guard<std::mutex> serial(me->updateStubMapMutex_);
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] In performUpdateStubMapCb()", me->appName().c_str());
      me->performUpdateStubMap();
    });
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    if (rescheduleTimer_) rescheduleTimer_->Cancel();
    rescheduleTimer_ = timer;
    return;
  }
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    updateStubPending_ = false;
  }
  std::map<std::string, bool> oldMap;
  std::map<std::string, bool> newMap = tnProxy_ ? tnProxy_->GetAphUuidMasterMap() : std::map<std::string, bool>();
  {
    std::unique_lock<std::shared_mutex> lock(aphMapLock_);
    oldMap.swap(aphMap_);
    aphMap_ = newMap;
  }
  // Every stub and back-off of an APH outside the new list goes, not only those of the old
  // list: whatever was made for an APH after it left must not outlive this update.
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    for (auto it = stubMap_.begin(); it != stubMap_.end();) {
      if (newMap.count(it->first) != 0) {
        ++it;
        continue;
      }
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] performUpdateStubMap: Removing stub for APH (%s)",
                                                 appName().c_str(), it->first.c_str());
      it = stubMap_.erase(it);
    }
    std::erase_if(stubRetryPolicies_, [&newMap](const auto& entry) { return newMap.count(entry.first) == 0; });
  }
  bool startHandshake = false;
  const uint64_t firstDelay = SpreadMs(4000);
  for (const auto& [aph, isMaster] : newMap) {
    bool hasStub = false;
    {
      std::shared_lock<std::shared_mutex> lock(stubLock_);
      hasStub = stubMap_.count(aph) != 0;
    }
    auto oldIt = oldMap.find(aph);
    const bool wasMaster = oldIt != oldMap.end() && oldIt->second;
    if (isMaster && (!hasStub || !wasMaster)) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] performUpdateStubMap: New Master APH (%s)", appName().c_str(),
                                                 aph.c_str());
      GetNewAppInitSequenceNumber();
      {
        std::unique_lock<std::shared_mutex> state(tnProxyStateLock_);
        appInitCompleted_ = false;
      }
      std::unique_lock<std::shared_mutex> lock(stubLock_);
      // A master whose stub exists is ready at once: the handshake below runs over it.
      masterStubReady_ = hasStub;
      if (hasStub) startHandshake = true;
    } else if (isMaster) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] performUpdateStubMap: No Mastership change.", appName().c_str());
    }
    if (hasStub) continue;
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    if (stubRetryPolicies_.count(aph) == 0) {
      stubRetryPolicies_.emplace(aph, RetryPolicy(std::chrono::milliseconds(1000), std::chrono::milliseconds(10000), 2.0, -1));
    }
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put(
        "[%s] performUpdateStubMap: scheduling Stub creation for APH (%s) with delay (%lld)", appName().c_str(),
        aph.c_str(), static_cast<long long>(firstDelay));
    ScheduleStubCreationWithLock(aph, firstDelay);
  }
  if (startHandshake) StartHandshakeFromStubLogic();
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] performUpdateStubMap End", appName().c_str());
}

bool Self::WaitForInfightStubCreateRequest() {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] WaitForInfightStubCreateRequest", appName().c_str());
  std::shared_lock<std::shared_mutex> lock(stubLock_);
  if (inflightSet_.empty()) return false;
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Waiting for (%lu) stub creation request(s) to finish.",
                                             appName().c_str(), static_cast<unsigned long>(inflightSet_.size()));
  for (const auto& aph : inflightSet_) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] stub-creation pending for APH (%s)", appName().c_str(), aph.c_str());
  }
  return true;
}

void Self::ScheduleStubCreation(const std::string& aph, uint64_t delayMs) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] ScheduleStubCreation : delay (%lld)", appName().c_str(),
                                              static_cast<long long>(delayMs));
  std::unique_lock<std::shared_mutex> lock(stubLock_);
  ScheduleStubCreationWithLock(aph, delayMs);
}

void Self::ScheduleStubCreationWithLock(const std::string& aph, uint64_t delayMs) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] ScheduleStubCreationWithLock : delay (%lld)", appName().c_str(),
                                              static_cast<long long>(delayMs));
  AsioQbxProvider* provider = StubProvider();
  if (!provider) return;
  // One scheduled creation per APH: a second request while one waits would make a
  // duplicate stub.
  if (timerMap_.count(aph) != 0) return;
  std::weak_ptr<Self> weak = weakSelf();
  timerMap_[aph] = provider->timers().Schedule(std::chrono::milliseconds(delayMs), [weak, aph] {
    auto me = weak.lock();
    if (!me) {
      QBX_LOG(loglevel::kWarning).subcomp(kSub).put("MpaClientPrivate has been destroyed already");
      return;
    }
    me->GetStub_(aph);
  });
}

void Self::GetStub_(const std::string& aph) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] GetStub_ for APH (%s).", appName().c_str(), aph.c_str());
  bool connected = false;
  {
    std::shared_lock<std::shared_mutex> state(tnProxyStateLock_);
    connected = tnProxyConnected_;
  }
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    if (timerMap_.erase(aph) == 0) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] GetStub_ Timer for (%s) is not present in timer_map_",
                                                 appName().c_str(), aph.c_str());
    }
    if (!connected) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] GetStub_ APH (%s), not connected to tnProxy.", appName().c_str(),
                                                 aph.c_str());
      RemoveAphUuidFromInflightSet(aph);
      return;
    }
    if (updateStubPending_) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] GetStub_ APH (%s), update stub pending.", appName().c_str(),
                                                 aph.c_str());
      RemoveAphUuidFromInflightSet(aph);
      return;
    }
  }
  GetStub(aph);
}

void Self::GetStub(const std::string& aph) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientPrivate GetStub (%s)", appName().c_str(), aph.c_str());
  AsioQbxProvider* provider = StubProvider();
  if (!provider) return;
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    inflightSet_.insert(aph);
  }
  std::weak_ptr<Self> weak = weakSelf();
  const std::string tnUuid = getTnUuidStr();
  provider->rpc().stub_factory().create<AggSvcMpStub>(
      tnUuid, "qbx://" + aph, rpc::ClientContext(tnUuid),
      [weak, aph](const std::optional<AggSvcMpStub>& stub, rpc::StubCreationStatus status) {
        auto me = weak.lock();
        if (!me) {
          QBX_LOG(loglevel::kWarning).subcomp(kSub).put("StubCreateDone: MpaClientPrivate has been destroyed already (%s)",
                                                        aph.c_str());
          return;
        }
        QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] In StubCreateDone() (%s)", me->appName().c_str(), aph.c_str());
        me->StubCreateDone_(aph, stub, status);
      },
      RetryPolicy(std::chrono::milliseconds(1000000), std::chrono::milliseconds(10000000), 2.0, 0),
      rpc::RpcChannelOptions{1, 0, 0}, std::chrono::milliseconds(60000));
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientPrivate GetStub: Stub creation scheduled for APH (%s)",
                                              appName().c_str(), aph.c_str());
}

void Self::StubCreateDone_(const std::string& aph, const std::optional<AggSvcMpStub>& stub,
                           rpc::StubCreationStatus status) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientPrivate::StubCreateDone_ (%s)", appName().c_str(), aph.c_str());
  if (status != rpc::StubCreationStatus::kCreated || !stub) {
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientPrivate::StubCreateDone_: Stub creation failed for aph (%s)",
                                                appName().c_str(), aph.c_str());
    bool connected = false;
    {
      std::shared_lock<std::shared_mutex> state(tnProxyStateLock_);
      connected = tnProxyConnected_;
    }
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    if (!(connected && tnProxy_ && tnProxy_->IsConnectedForForwarding())) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Not connected with TnProxy. Not re-trying stub creation for APH (%s).",
                                                 appName().c_str(), aph.c_str());
      RemoveAphUuidFromInflightSet(aph);
      return;
    }
    if (--stubRetryCountdown_ < 1) {
      stubRetryCountdown_ = kStubRetryCountdown;
      lock.unlock();
      ScheduleStubCreation(aph, SpreadMs(10000));
      return;
    }
    if (inflightSet_.count(aph) == 0) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Not re-trying Stub creation for APH (%s), uuid not in in-flight set.",
                                                 appName().c_str(), aph.c_str());
    } else if (updateStubPending_) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Not re-trying Stub creation for APH (%s), update stub is pending.",
                                                 appName().c_str(), aph.c_str());
      RemoveAphUuidFromInflightSet(aph);
    } else if (timerMap_.count(aph) != 0) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Timer for (%s) already present in timer_map_", appName().c_str(),
                                                 aph.c_str());
    } else {
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientPrivate::StubCreateDone_: Starting timer for retry. APH (%s)",
                                                  appName().c_str(), aph.c_str());
      auto it = stubRetryPolicies_.find(aph);
      if (it == stubRetryPolicies_.end()) {
        it = stubRetryPolicies_
                 .emplace(aph, RetryPolicy(std::chrono::milliseconds(1000), std::chrono::milliseconds(10000), 2.0, -1))
                 .first;
      }
      ScheduleStubCreationWithLock(aph, static_cast<uint64_t>(Ms(it->second.NextDelay()).count()));
    }
    return;
  }
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientPrivate::StubCreateDone_: Stub creation successful for aph (%s)",
                                             appName().c_str(), aph.c_str());
  bool master = false;
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    auto policy = stubRetryPolicies_.find(aph);
    if (policy != stubRetryPolicies_.end()) policy->second.Reset();
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] Stub created for APH (%s).", appName().c_str(), aph.c_str());
    if (inflightSet_.count(aph) == 0) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Dropping Stub for APH (%s), uuid not in in-flight set.",
                                                 appName().c_str(), aph.c_str());
      return;
    }
    if (updateStubPending_) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Dropping Stub for APH (%s), update stub is pending.",
                                                 appName().c_str(), aph.c_str());
      RemoveAphUuidFromInflightSet(aph);
      return;
    }
    RemoveAphUuidFromInflightSet(aph);
    stubMap_.insert_or_assign(aph, *stub);
    std::weak_ptr<Self> weak = weakSelf();
    AggSvcMpStub copy = *stub;
    copy.SetOnStreamDown([weak, aph](rpc::CloseReason reason) {
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("OnStreamDown_ for APH (%s), reason (%s)", aph.c_str(),
                                                  rpc::CloseReasonToCStr(reason));
      auto me = weak.lock();
      if (!me) {
        QBX_LOG(loglevel::kWarning).subcomp(kSub).put("OnStreamDown_: MpaClientPrivate has been destroyed already");
        return;
      }
      me->OnStreamDown(aph, reason);
    });
    master = IsMasterAph(aph);
    if (master) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Stub created for Master APH (%s).", appName().c_str(), aph.c_str());
      masterStubReady_ = true;
    }
  }
  if (master) StartHandshakeFromStubLogic();
}

void Self::StartHandshakeFromStubLogic() {
  SetConnState(STATE_CONNECTED);
  AppInitAction action;
  {
    std::unique_lock<std::shared_mutex> state(tnProxyStateLock_);
    AppInitHandshakeLocked(action);
  }
  RunAppInitAction(action);
}

void Self::OnStreamDown(const std::string& aph, rpc::CloseReason reason) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] OnStreamDown for APH (%s), reason (%s)", appName().c_str(), aph.c_str(),
                                             rpc::CloseReasonToCStr(reason));
  bool master = false;
  {
    std::shared_lock<std::shared_mutex> lock(stubLock_);
    master = IsMasterAph(aph);
  }
  if (master) {
    GetNewAppInitSequenceNumber();
    SetConnState(STATE_INIT);
    std::shared_ptr<MpaClientAppSpecific> layer;
    {
      std::shared_lock<std::shared_mutex> lock(stubLock_);
      layer = appSpecific_;
    }
    // Not ready before the purge: a request stored after the purge is then refused by the
    // host service instead of reaching a vertical whose answer could not be sent.
    SetRegistrationAcked(false);
    if (layer) layer->PurgeCallHandleMap();
    if (layer) layer->SendCloseToVertical(false);
    std::unique_lock<std::shared_mutex> state(tnProxyStateLock_);
    appInitCompleted_ = false;
    if (appInitRetryTimer_) {
      appInitRetryTimer_->Cancel();
      appInitRetryTimer_.reset();
    }
  }
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    // A pending creation timer stays armed: dropping its entry without cancelling it
    // would let it create a second stub beside the one scheduled below.
    auto timer = timerMap_.find(aph);
    if (timer != timerMap_.end()) {
      if (timer->second) timer->second->Cancel();
      timerMap_.erase(timer);
    }
    stubMap_.erase(aph);
    stubRetryCountdown_ = kStubRetryCountdown;
    if (master) masterStubReady_ = false;
    if (updateStubPending_) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] OnStreamDown APH (%s), not re-trying : updateStubMap pending.",
                                                 appName().c_str(), aph.c_str());
      return;
    }
  }
  // An APH that left the list is never made again, whatever ended its stream: no later
  // list would remove that stub. A listed APH's stream that ended as shut down or idle is
  // made again like any other: with no stub to the master the node would refuse every pull
  // until some unrelated event (an APH list, a proxy reconnect) happened to make one.
  {
    std::shared_lock<std::shared_mutex> lock(aphMapLock_);
    if (aphMap_.count(aph) == 0) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] OnStreamDown for APH (%s), reason (%s): APH was removed from cluster",
                                                 appName().c_str(), aph.c_str(), rpc::CloseReasonToCStr(reason));
      return;
    }
  }
  bool connected = false;
  {
    std::shared_lock<std::shared_mutex> state(tnProxyStateLock_);
    connected = tnProxyConnected_;
  }
  if (connected && tnProxy_ && tnProxy_->IsConnectedForForwarding()) {
    ScheduleStubCreation(aph, SpreadMs(10000));
  } else {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] OnStreamDown APH (%s), not connected to tnProxy.", appName().c_str(),
                                               aph.c_str());
  }
}

void Self::RemoveAphUuidFromInflightSet(const std::string& aph) {
  if (inflightSet_.erase(aph) == 0) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] RemoveAphUuidFromInflightSet (%s) is not present in inflight set",
                                               appName().c_str(), aph.c_str());
  }
}

void Self::ClearTimerMap() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] ClearTimerMap (%lu)", appName().c_str(),
                                              static_cast<unsigned long>(timerMap_.size()));
  for (auto& [aph, timer] : timerMap_) {
    if (timer) timer->Cancel();
    inflightSet_.erase(aph);
  }
  timerMap_.clear();
}

void Self::CleanUpForStubs() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] CleanUpForStubs", appName().c_str());
  std::shared_ptr<MpaClientAppSpecific> layer;
  {
    std::unique_lock<std::shared_mutex> lock(stubLock_);
    masterStubReady_ = false;
    ClearTimerMap();
    stubMap_.clear();
    stubRetryCountdown_ = kStubRetryCountdown;
    layer = appSpecific_;
  }
  if (layer) layer->PurgeCallHandleMap();
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] CleanUpForStubs Done", appName().c_str());
}

// ---- look-ups ----

std::optional<AggSvcMpStub> Self::getAphStub(const std::string& aph) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] getAphStub Aph: (%s)", appName().c_str(), aph.c_str());
  std::optional<AggSvcMpStub> stub;
  {
    std::shared_lock<std::shared_mutex> lock(stubLock_);
    auto it = stubMap_.find(aph);
    if (it != stubMap_.end()) stub = it->second;
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] getAphStub End, Aph: (%s), exist (%s)", appName().c_str(), aph.c_str(),
                                              stub ? "true" : "false");
  return stub;
}

std::string Self::GetMasterAph() {
  std::string master;
  {
    std::shared_lock<std::shared_mutex> lock(aphMapLock_);
    for (const auto& [aph, isMaster] : aphMap_) {
      if (isMaster) {
        master = aph;
        break;
      }
    }
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("MasterAph uuid : %s.", master.c_str());
  return master;
}

bool Self::IsMasterAph(const std::string& aph) { return !aph.empty() && aph == GetMasterAph(); }

std::string Self::getTnUuidStr() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientPrivate getTnUuidStr", appName().c_str());
  return tnProxy_ ? tnProxy_->getTnUuidStr() : std::string();
}

bool Self::GetMpVersionViaTnProxy(uint32_t& major, uint32_t& minor) {
  if (!tnProxy_) return false;
  const auto version = tnProxy_->GetProductVersion();
  if (!version.has_major() || !version.has_minor()) return false;
  major = static_cast<uint32_t>(version.major());
  minor = static_cast<uint32_t>(version.minor());
  return true;
}

size_t Self::StubCount() {
  std::shared_lock<std::shared_mutex> lock(stubLock_);
  return stubMap_.size();
}

size_t Self::InflightCount() {
  std::shared_lock<std::shared_mutex> lock(stubLock_);
  return inflightSet_.size();
}

size_t Self::PendingTimerCount() {
  std::shared_lock<std::shared_mutex> lock(stubLock_);
  return timerMap_.size();
}

bool Self::HasAppInitWaitTimer() const {
  std::shared_lock<std::shared_mutex> state(tnProxyStateLock_);
  return appInitWaitTimer_ != nullptr;
}

bool Self::HasAppInitRetryTimer() const {
  std::shared_lock<std::shared_mutex> state(tnProxyStateLock_);
  return appInitRetryTimer_ != nullptr;
}

// ---- sending ----

int32_t Self::SendMsgViaTnProxy(rmqClientMessage* message, const std::string& correlationId,
                                const std::string& aphUuid) {
  if (message == nullptr) return -1;
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] SendMsgViaTnProxy: APH (%s) Message (%d), corelationId (%s).",
                                              appName().c_str(), aphUuid.c_str(), static_cast<int>(message->messageType),
                                              correlationId.c_str());
  std::shared_ptr<MpaClientAppSpecific> layer;
  {
    std::shared_lock<std::shared_mutex> lock(stubLock_);
    layer = appSpecific_;
  }
  if (!layer) return -1;
  switch (message->messageType) {
    case 4:
    case 10:
    case 12: {
      std::string id = correlationId;
      return layer->SendMsg(message, id, aphUuid);
    }
    case 11:
      return layer->RespondMsg(message, correlationId);
    default:
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientPrivate SendMsgViaTnProxy: Unsupported message (%d), corelationId (%s).",
                                                 appName().c_str(), static_cast<int>(message->messageType), correlationId.c_str());
      return -1;
  }
}

int32_t Self::MsgHandler(const Unified& request, const std::string& aphUuid,
                         rpc::CallObserver<zumbra::qbx::VoidMsg>* observer) {
  const std::string aph = aphUuid.empty() ? GetMasterAph() : aphUuid;
  auto stub = aph.empty() ? std::nullopt : getAphStub(aph);
  if (!stub) {
    if (aphUuid.empty()) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MsgHandler : Invalid stub for Master APH ", appName().c_str());
    } else {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MsgHandler : Invalid stub for APH (%s)", appName().c_str(), aph.c_str());
    }
    delete observer;  // never handed to a call: nobody else would release it
    return -1;
  }
  std::shared_ptr<MpaClientAppSpecific> layer;
  {
    std::shared_lock<std::shared_mutex> lock(stubLock_);
    layer = appSpecific_;
  }
  if (layer) layer->SetAphUuidInVoidCallObserver(observer, aph);
  rpc::client::AsyncCall<Unified, zumbra::qbx::VoidMsg>(stub->channel(), "MsgHandler", rpc::ClientContext(getTnUuidStr()),
                                                        request, observer);
  return 0;
}

int32_t Self::RpcMsgHandler(const Unified& request, const std::string& aphUuid, rpc::CallObserver<Unified>* observer,
                            uint32_t seq) {
  const std::string aph = aphUuid.empty() ? GetMasterAph() : aphUuid;
  auto stub = aph.empty() ? std::nullopt : getAphStub(aph);
  if (!stub) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] RpcMsgHandler for APH (%s) has invalid stub", appName().c_str(),
                                               aph.c_str());
    delete observer;
    return -1;
  }
  std::shared_ptr<MpaClientAppSpecific> layer;
  {
    std::shared_lock<std::shared_mutex> lock(stubLock_);
    layer = appSpecific_;
  }
  if (!layer) {
    rpc::client::AsyncCall<Unified, Unified>(stub->channel(), "RpcMsgHandler", rpc::ClientContext(getTnUuidStr()), request,
                                             observer);
    return 0;
  }
  layer->SetAphUuidInRpcCallObserver(observer, aph);
  std::lock_guard<std::mutex> seqLock(layer->SeqMapMutex());
  auto handle = rpc::client::AsyncCall<Unified, Unified>(stub->channel(), "RpcMsgHandler",
                                                         rpc::ClientContext(getTnUuidStr()), request, observer);
  if (t_sendingAppInit) layer->AddToSeqToCallHandleMap(seq, handle);
  return 0;
}

// ---- app-init handshake ----

void Self::AppInitHandshake() {
  AppInitAction action;
  {
    std::unique_lock<std::shared_mutex> state(tnProxyStateLock_);
    AppInitHandshakeLocked(action);
  }
  RunAppInitAction(action);
}

void Self::AppInitHandshakeLocked(AppInitAction& action) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientPrivate AppInitHandshake - Begin", appName().c_str());
  std::shared_ptr<MpaClientAppSpecific> layer;
  {
    std::shared_lock<std::shared_mutex> lock(stubLock_);
    layer = appSpecific_;
  }
  if (!layer || !layer->IsAppInitRequired()) {
    HandleAppInitSuccessLocked();
    action.sendAck = layer != nullptr;
    return;
  }
  const uint32_t seq = GetNewAppInitSequenceNumber();
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientPrivate AppInitHandshake : seq: %d", appName().c_str(), seq);
  t_sendingAppInit = true;
  bool sent = false;
  try {
    sent = layer->SendAppInitRequest(seq);
  } catch (...) {
    sent = false;
  }
  t_sendingAppInit = false;
  if (sent) {
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClient::WaitForAppInitHandshakeCompletion Begin", appName().c_str());
    ScheduleAppInitWaitTimerLocked(kAppInitWait, seq);
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClient::WaitForAppInitHandshakeCompletion End", appName().c_str());
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClientPrivate AppInitHandshake : End", appName().c_str());
    return;
  }
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClientPrivate AppInitHandshake Failed, retry", appName().c_str());
  if (IsCurrentAppInitSeq(seq)) {
    RetryAppInitHandshakeLocked(seq);
  } else {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put(
        "[%s] MpaClientPrivate AppInitHandshake : Not retrying app-init, curr-seq: (%d) is different from app_init_seq_num_",
        appName().c_str(), seq + 1);
  }
}

void Self::RunAppInitAction(const AppInitAction& action) {
  if (!action.sendAck) return;
  std::shared_ptr<MpaClientAppSpecific> layer;
  {
    std::shared_lock<std::shared_mutex> lock(stubLock_);
    layer = appSpecific_;
  }
  if (layer) layer->SendRegistrationAckToVertical(false);
}

void Self::HandleAppInitSuccessLocked() {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] HandleAppInitSuccess", appName().c_str());
  if (appInitCompleted_) {
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] MpaClient::App init success while in success state", appName().c_str());
  }
  appInitCompleted_ = true;
  appInitRetryPolicy_.Reset();
}

void Self::RetryAppInitHandshakeLocked(uint32_t seq) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClient::RetryAppInitHandshake", appName().c_str());
  if (appInitCompleted_) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] MpaClient::RetryAppInitHandshake appInitCompleted_ is [%d], not retrying app-init",
                                               appName().c_str(), 1);
    return;
  }
  ScheduleAppInitRetryTimerLocked(Ms(appInitRetryPolicy_.NextDelay()), seq);
}

void Self::ScheduleAppInitWaitTimerLocked(std::chrono::milliseconds delay, uint32_t seq) {
  if (appInitWaitTimer_) {
    appInitWaitTimer_->Cancel();
    std::shared_ptr<MpaClientAppSpecific> layer;
    {
      std::shared_lock<std::shared_mutex> lock(stubLock_);
      layer = appSpecific_;
    }
    if (layer) {
      if (auto handle = layer->GetFromSeqToCallHandleMap(lastAppInitWaitSeq_); handle && *handle) {
        QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Cancelling last RPC call handle for seq %d", appName().c_str(),
                                                   lastAppInitWaitSeq_);
        QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] CancelAppInitCall", appName().c_str());
        (*handle)->Cancel();
      }
    }
    appInitWaitTimer_.reset();
  }
  TimerFactory* timers = Timers();
  if (!timers) return;
  std::weak_ptr<Self> weak = weakSelf();
  appInitWaitTimer_ = timers->Schedule(delay, [weak, seq] {
    if (auto me = weak.lock()) me->WaitAppInitTimeout(seq);
  });
  lastAppInitWaitSeq_ = seq;
}

void Self::ScheduleAppInitRetryTimerLocked(std::chrono::milliseconds delay, uint32_t seq) {
  if (appInitRetryTimer_) {
    appInitRetryTimer_->Cancel();
    appInitRetryTimer_.reset();
  }
  AsioQbxProvider* provider = StubProvider();
  if (!provider) return;
  std::weak_ptr<Self> weak = weakSelf();
  appInitRetryTimer_ = provider->timers().Schedule(delay, [weak, seq] {
    if (auto me = weak.lock()) me->WaitTnProxyTimeout(seq);
  });
}

void Self::CancelAppInitTimersLocked() {
  if (appInitRetryTimer_) {
    appInitRetryTimer_->Cancel();
    appInitRetryTimer_.reset();
  }
  if (appInitWaitTimer_) {
    appInitWaitTimer_->Cancel();
    appInitWaitTimer_.reset();
  }
}

void Self::WaitAppInitTimeout(uint32_t seq) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] AppInitHandshake timed-out. Seq (%d)", appName().c_str(), seq);
  AppInitAction action;
  {
    std::unique_lock<std::shared_mutex> state(tnProxyStateLock_);
    if (appInitCompleted_) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] WaitAppInitTimeout AppInit already completed (%d)", appName().c_str(), seq);
      return;
    }
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] WaitAppInitTimeout AppInit Handshake has timed out.", appName().c_str());
    if (IsCurrentAppInitSeq(seq)) {
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] WaitAppInitTimeout Starting a new AppInitHandshake.", appName().c_str());
      AppInitHandshakeLocked(action);
    } else {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] WaitAppInitTimeout seq (%d) is not current (%d)", appName().c_str(),
                                                 seq + 1, app_init_seq_num_.load());
    }
  }
  RunAppInitAction(action);
}

void Self::WaitTnProxyTimeout(uint32_t seq) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] Starting AppInitHandshake from timer", appName().c_str());
  AppInitAction action;
  {
    std::unique_lock<std::shared_mutex> state(tnProxyStateLock_);
    if (!IsCurrentAppInitSeq(seq)) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] WaitTnProxyTimeout seq (%d) is not current (%d)", appName().c_str(),
                                                 seq, app_init_seq_num_.load());
    } else if (!tnProxyConnected_) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] WaitTnProxyTimeout : Not Connected with TnProxy", appName().c_str());
    } else {
      AppInitHandshakeLocked(action);
    }
  }
  RunAppInitAction(action);
}

void Self::HandleClose() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] HandleClose", appName().c_str());
  std::unique_lock<std::shared_mutex> state(tnProxyStateLock_);
  CancelAppInitTimersLocked();
  appInitCompleted_ = false;
  // A reply still on its way must not start a retry for the closed application.
  GetNewAppInitSequenceNumber();
}

bool Self::CompleteAppInitHanshake(uint32_t seq, bool success) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("%s CompleteAppInitHanshake, Seq (%d) (%s)", appName().c_str(), seq,
                                             success ? "Success" : "Failed");
  std::unique_lock<std::shared_mutex> state(tnProxyStateLock_);
  if (appInitCompleted_) return false;
  const uint32_t current = app_init_seq_num_.load();
  if (seq + 1 != current) {
    QBX_LOG(loglevel::kWarning).subcomp(kSub).put(
        "[%s] CompleteAppInitHanshake : AppInit Sequence number has moved ahead seq (%d), current (%d)", appName().c_str(),
        seq, current);
    return false;
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("[%s] CompleteAppInitHanshake : Completed successfully seq (%d)",
                                              appName().c_str(), seq);
  if (appInitWaitTimer_) {
    appInitWaitTimer_->Cancel();
    appInitWaitTimer_.reset();
  }
  if (success) {
    HandleAppInitSuccessLocked();
    return true;
  }
  RetryAppInitHandshakeLocked(seq);
  return false;
}

}  // namespace qbx
