#include "channels/proxy/proxy_client_base.h"

#include <exception>
#include <mutex>
#include <thread>

#include "core/uuid.h"
#include "platform/rpc/asio_qbx_rpc_provider.h"
#include "platform/rpc/connection_manager.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/timer.h"

namespace qbx {

namespace {

constexpr const char* kMpaSub = "mpa-client";

std::unique_ptr<AsioQbxProvider> MakeProvider(const std::shared_ptr<ManualClock>& clock) {
  const AsioQbxProvider::Options options{};
  if (clock) return std::make_unique<AsioQbxProvider>(options, std::string(), clock);
  return std::make_unique<AsioQbxProvider>(options, std::string());
}

// A client's callback must not end the connection's event handling: what it throws is
// logged and goes no further.
void RunGuarded(const char* sub, const char* what, const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    QBX_LOG(loglevel::kError).subcomp(sub).put("Exception in %s callback: %s", what, e.what());
  } catch (...) {
    QBX_LOG(loglevel::kError).subcomp(sub).put("Exception in %s callback", what);
  }
}

}  // namespace

RetryPolicy ProxyClientBase::DefaultRetryPolicy() {
  return RetryPolicy(std::chrono::milliseconds(1000), std::chrono::milliseconds(5000), 2.0, -1);
}

ProxyClientBase::ProxyClientBase(const Texts& texts, const std::string& clientId, const std::string& endPoint,
                                 const std::string& forwardingEndPoint, const std::shared_ptr<ManualClock>& clock,
                                 std::chrono::milliseconds stubRetryDelay, std::chrono::milliseconds reconnectDelay,
                                 int32_t stubRetryBudget)
    : texts_(texts),
      provider_(MakeProvider(clock)),
      forwardingProvider_(MakeProvider(clock)),
      connectionManager_(std::make_unique<rpc::ConnectionManager>(provider_->rpc())),
      forwardingConnectionManager_(std::make_unique<rpc::ConnectionManager>(forwardingProvider_->rpc())),
      endPoint_(endPoint),
      forwardingEndPoint_(forwardingEndPoint),
      clientId_(clientId),
      stubRetryDelay_(stubRetryDelay),
      reconnectDelay_(reconnectDelay),
      stubRetryBudget_(stubRetryBudget),
      stubRetriesLeft_(stubRetryBudget) {}

ProxyClientBase::~ProxyClientBase() = default;

AsioQbxProvider* ProxyClientBase::GetProvider() { return forwardingProvider_.get(); }

bool ProxyClientBase::IsConnectedForForwarding() const {
  std::shared_lock<std::shared_mutex> lock(stateLock_);
  return connectedForForwarding_;
}

bool ProxyClientBase::IsStubCreationEnabled() const {
  std::shared_lock<std::shared_mutex> lock(stateLock_);
  return stubCreationEnabled_;
}

zumbra::qbx::ProductVersionMsg ProxyClientBase::GetProductVersion() const {
  std::lock_guard<std::mutex> lock(infoMutex_);
  return productVersion_;
}

std::string ProxyClientBase::NodeUuid(const char* getter) const {
  std::string copy;
  {
    std::lock_guard<std::mutex> lock(infoMutex_);
    copy = nodeUuid_;
  }
  QBX_LOG(loglevel::kDebug).subcomp(texts_.sub).put("%s::%s: %s", texts_.name, getter, copy.c_str());
  return copy;
}

void ProxyClientBase::SetNodeUuid(const zumbra::qbx::UuidMsg& uuid, const char* which, const char* rspName) {
  const std::string text = UuidMsgToString(uuid);
  {
    std::lock_guard<std::mutex> lock(infoMutex_);
    nodeUuid_ = text;
  }
  QBX_LOG(loglevel::kDebug).subcomp(texts_.sub).put("The %s uuid received in %s is: %s", which, rspName, text.c_str());
}

void ProxyClientBase::SetProductVersion(const zumbra::qbx::ProductVersionMsg& version) {
  std::lock_guard<std::mutex> lock(infoMutex_);
  productVersion_.Clear();
  productVersion_.CopyFrom(version);
}

void ProxyClientBase::SetConnectionUp(const std::string& clientName, const std::function<void()>& cb,
                                      const char* op) {
  QBX_LOG(loglevel::kInfo).subcomp(texts_.sub).put("[%s] %s %s", clientName.c_str(), texts_.name, op);
  std::unique_lock<std::shared_mutex> state(stateLock_);
  std::unique_lock<std::shared_mutex> clients(clientsLock_);
  connectCallbacks_[clientName] = cb;
}

void ProxyClientBase::SetUpdateStubs(const std::string& clientName, const std::function<void()>& cb) {
  QBX_LOG(loglevel::kInfo).subcomp(texts_.sub).put("[%s] %s SetUpdateStubs", clientName.c_str(), texts_.name);
  std::unique_lock<std::shared_mutex> state(stateLock_);
  std::unique_lock<std::shared_mutex> clients(clientsLock_);
  updateStubCallbacks_[clientName] = cb;
}

void ProxyClientBase::SetConnectionDown(const std::string& clientName,
                                        const std::function<void(rpc::CloseReason)>& cb, const char* op) {
  QBX_LOG(loglevel::kInfo).subcomp(texts_.sub).put("[%s] %s %s", clientName.c_str(), texts_.name, op);
  std::unique_lock<std::shared_mutex> clients(clientsLock_);
  connectionDownCallbacks_[clientName] = cb;
}

void ProxyClientBase::RemoveClient(const std::string& clientName) {
  QBX_LOG(loglevel::kDebug).subcomp(texts_.sub).put("%s %s", texts_.name, clientName.c_str());
  {
    std::unique_lock<std::shared_mutex> clients(clientsLock_);
    connectionDownCallbacks_.erase(clientName);
    connectCallbacks_.erase(clientName);
    updateStubCallbacks_.erase(clientName);
  }
  QBX_LOG(loglevel::kDebug).subcomp(texts_.sub).put("%s Client %s removed.", texts_.name, clientName.c_str());
}

rpc::ConnectionParams ProxyClientBase::MakeParams(bool forwarding) {
  rpc::ConnectionParams params;
  params.retry_policy = DefaultRetryPolicy();
  params.reconnect_policy =
      rpc::ReconnectPolicy(rpc::ReconnectPolicy::ReconnectBehavior::kReconnect, DefaultRetryPolicy());
  params.connection_options.connect_timeout = std::chrono::milliseconds(2000);
  std::weak_ptr<ProxyClientBase> weak = WeakBase();
  if (forwarding) {
    params.rpc_connection_options = rpc::RpcConnectionOptions::Gateway(true, true);
    params.connected_callback = [weak](const rpc::ConnectionInfo& info) {
      if (auto self = weak.lock()) self->OnForwardingConnectionUp(info);
    };
    params.closed_callback = [weak](const net::Endpoint& endpoint, rpc::CloseReason reason) {
      if (auto self = weak.lock()) self->OnForwardingConnectionClosed(endpoint, reason);
    };
  } else {
    params.connected_callback = [weak](const rpc::ConnectionInfo& info) {
      if (auto self = weak.lock()) self->OnConnectionUp(info);
    };
    params.closed_callback = [weak](const net::Endpoint& endpoint, rpc::CloseReason reason) {
      if (auto self = weak.lock()) self->OnConnectionClosed(endpoint, reason);
    };
  }
  return params;
}

void ProxyClientBase::connectAndSubscribe() {
  const char* sub = texts_.sub;
  QBX_LOG(loglevel::kDebug).subcomp(sub).put("%s%s Enter", texts_.prefix, texts_.subscribe);
  const rpc::ConnectionParams params = MakeParams(false);
  QBX_LOG(loglevel::kInfo).subcomp(sub).put("Requesting connection for %s", texts_.service);
  if (connectionManager_->RequestConnection(net::Endpoint(endPoint_), params)) {
    QBX_LOG(loglevel::kInfo).subcomp(sub).put("Request for a connection with %s.", texts_.proxy);
  } else {
    QBX_LOG(loglevel::kInfo).subcomp(sub).put("Already a CK for connection to %s.", texts_.proxy);
    GetStub();
  }
  QBX_LOG(loglevel::kDebug).subcomp(sub).put("%s Exit", texts_.subscribe);
}

void ProxyClientBase::connectForForwarding() {
  const char* sub = texts_.sub;
  QBX_LOG(loglevel::kDebug).subcomp(sub).put("connectForForwarding Enter");
  const rpc::ConnectionParams params = MakeParams(true);
  if (texts_.namesEndpoints) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(sub)
        .put("Requesting connection for forwarding on %s", forwardingEndPoint_.c_str());
  } else {
    QBX_LOG(loglevel::kInfo).subcomp(sub).put("Requesting connection for forwarding");
  }
  if (forwardingConnectionManager_->RequestConnection(net::Endpoint(forwardingEndPoint_), params)) {
    QBX_LOG(loglevel::kInfo).subcomp(sub).put("Connecting to %s for forwarding.", texts_.proxy);
  } else {
    QBX_LOG(loglevel::kInfo).subcomp(sub).put("Already a CK for connection to %s for forwarding.", texts_.proxy);
  }
  QBX_LOG(loglevel::kDebug).subcomp(sub).put("connectForForwarding Exit");
}

void ProxyClientBase::TearDownConnections() {
  const char* sub = texts_.sub;
  uint8_t status = connectionManager_->TearDownConnection(net::Endpoint(endPoint_));
  if (texts_.namesEndpoints) {
    QBX_LOG(loglevel::kInfo).subcomp(sub).put("TeardownConnection %s status:%d ", endPoint_.c_str(), status);
  } else {
    QBX_LOG(loglevel::kInfo).subcomp(sub).put("TeardownConnection status:%d ", status);
  }
  status = forwardingConnectionManager_->TearDownConnection(net::Endpoint(forwardingEndPoint_));
  if (texts_.namesEndpoints) {
    QBX_LOG(loglevel::kInfo)
        .subcomp(sub)
        .put("Teardown Forwarding Connection %s status:%d ", forwardingEndPoint_.c_str(), status);
  } else {
    QBX_LOG(loglevel::kInfo).subcomp(sub).put("Teardown Forwarding Connection status:%d ", status);
  }
  std::unique_lock<std::shared_mutex> lock(stateLock_);
  stopped_ = true;
  CancelTimers();
}

void ProxyClientBase::OnConnectionUp(const rpc::ConnectionInfo& info) {
  QBX_LOG(loglevel::kInfo).subcomp(texts_.sub).put("Connected with %s", texts_.proxy);
  QBX_LOG(loglevel::kDebug).subcomp(texts_.sub).put("%s connected with (%s)", texts_.name, info.to_string().c_str());
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    stubRetriesLeft_ = stubRetryBudget_;
    connectedForInfo_ = true;
    // A retry or reconnect still pending would start a second creation beside the one
    // below, and so a second subscription.
    CancelTimers();
  }
  GetStub();
}

uint64_t ProxyClientBase::BeginSubscription() {
  std::unique_lock<std::shared_mutex> lock(stateLock_);
  return ++subscriptionSeq_;
}

bool ProxyClientBase::IsCurrentSubscription(uint64_t seq) const {
  std::shared_lock<std::shared_mutex> lock(stateLock_);
  return seq == subscriptionSeq_;
}

bool ProxyClientBase::KeepStubOf(uint64_t seq) {
  if (IsCurrentSubscription(seq)) return true;
  QBX_LOG(loglevel::kInfo)
      .subcomp(texts_.sub)
      .put("%s::StubCreateDone_: Dropping stub %llu, a later creation replaced it", texts_.name,
           static_cast<unsigned long long>(seq));
  return false;
}

void ProxyClientBase::SubscriptionEnded(uint64_t seq) {
  std::unique_lock<std::shared_mutex> lock(stateLock_);
  if (seq != subscriptionSeq_ || stopped_ || !connectedForInfo_) return;
  QBX_LOG(loglevel::kInfo)
      .subcomp(texts_.sub)
      .put("%s: subscription ended while connected, subscribing again", texts_.name);
  if (retryTimer_) retryTimer_->Cancel();
  std::weak_ptr<ProxyClientBase> weak = WeakBase();
  retryTimer_ = provider_->timers().Schedule(stubRetryDelay_, [weak] {
    if (auto self = weak.lock()) self->GetStub();
  });
}

void ProxyClientBase::StubCreationFailed() {
  const char* sub = texts_.sub;
  QBX_LOG(loglevel::kInfo).subcomp(sub).put("%s::StubCreateDone_: Stub creation failed", texts_.name);
  bool tearDown = false;
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    if (stopped_) return;
    --stubRetriesLeft_;
    if (stubRetriesLeft_ > 0) {
      QBX_LOG(loglevel::kInfo).subcomp(sub).put("%s::StubCreateDone_: Starting timer for retry.", texts_.name);
      if (retryTimer_) retryTimer_->Cancel();
      std::weak_ptr<ProxyClientBase> weak = WeakBase();
      retryTimer_ = provider_->timers().Schedule(stubRetryDelay_, [weak] {
        if (auto self = weak.lock()) self->GetStub();
      });
    } else {
      stubRetriesLeft_ = stubRetryBudget_;
      tearDown = true;
    }
  }
  if (tearDown) {
    const uint8_t st = connectionManager_->TearDownConnection(net::Endpoint(endPoint_));
    QBX_LOG(loglevel::kInfo).subcomp(sub).put("TeardownConnection status:%d ", st);
    ReconnectAfterDelay();
  }
}

// The wait runs on a timer instead of sleeping on the provider's thread with the state
// lock held: that would stall every other event of the connection, and any thread that
// only wants to read a flag, for the whole delay.
void ProxyClientBase::ReconnectAfterDelay() {
  std::unique_lock<std::shared_mutex> lock(stateLock_);
  if (stopped_) return;
  if (reconnectTimer_) reconnectTimer_->Cancel();
  std::weak_ptr<ProxyClientBase> weak = WeakBase();
  reconnectTimer_ = provider_->timers().Schedule(reconnectDelay_, [weak] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::shared_lock<std::shared_mutex> state(self->stateLock_);
      if (self->stopped_) return;
    }
    self->connectAndSubscribe();
  });
}

void ProxyClientBase::CancelTimers() {
  for (auto* timer : {&retryTimer_, &reconnectTimer_}) {
    if (*timer) (*timer)->Cancel();
    timer->reset();
  }
}

void ProxyClientBase::OnConnectionClosed(const net::Endpoint& /*endpoint*/, rpc::CloseReason reason) {
  QBX_LOG(loglevel::kInfo)
      .subcomp(texts_.sub)
      .put("Connection closed with %s, reason: %s", texts_.proxy, rpc::CloseReasonToCStr(reason));
  std::unique_lock<std::shared_mutex> lock(stateLock_);
  stubCreationEnabled_ = false;
  connectedForInfo_ = false;
  // A stub retry (a subscription's end may come just before the close) has nothing to reach
  // now; the connection-up makes the stub. A pending reconnect stays: it is what brings the
  // connection back after a tear-down.
  if (retryTimer_) {
    retryTimer_->Cancel();
    retryTimer_.reset();
  }
}

void ProxyClientBase::OnForwardingConnectionUp(const rpc::ConnectionInfo& info) {
  const char* sub = texts_.sub;
  const char* prefix = texts_.prefix;
  QBX_LOG(loglevel::kInfo).subcomp(sub).put("%sConnected with %s for forwarding", prefix, texts_.proxy);
  QBX_LOG(loglevel::kDebug).subcomp(sub).put("%s connected with (%s)", texts_.name, info.to_string().c_str());
  bool enabled = false;
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    QBX_LOG(loglevel::kDebug).subcomp(sub).put("%ssetting connectedForForwarding_ to true", prefix);
    connectedForForwarding_ = true;
    enabled = stubCreationEnabled_;
  }
  QBX_LOG(loglevel::kInfo).subcomp(kMpaSub).put("%sOnForwardingConnectionUp Invoking NotifyClients", prefix);
  NotifyClients(enabled, true);
  QBX_LOG(loglevel::kDebug).subcomp(sub).put("%sOnForwardingConnectionUp: End", prefix);
}

void ProxyClientBase::OnForwardingConnectionClosed(const net::Endpoint& /*endpoint*/, rpc::CloseReason reason) {
  QBX_LOG(loglevel::kInfo)
      .subcomp(texts_.sub)
      .put("%sForwarding Connection closed with %s, reason: %s", texts_.prefix, texts_.proxy,
           rpc::CloseReasonToCStr(reason));
  std::vector<std::function<void(rpc::CloseReason)>> callbacks;
  {
    std::unique_lock<std::shared_mutex> state(stateLock_);
    connectedForForwarding_ = false;
    std::shared_lock<std::shared_mutex> clients(clientsLock_);
    for (const auto& entry : connectionDownCallbacks_) callbacks.push_back(entry.second);
  }
  for (const auto& cb : callbacks) {
    RunGuarded(texts_.sub, "connection-down", [&cb, reason] {
      if (cb) cb(reason);
    });
  }
}

void ProxyClientBase::NotifyClients(bool updateStub, bool connect) {
  const char* sub = texts_.sub;
  const char* prefix = texts_.notifyPrefix;
  QBX_LOG(loglevel::kDebug).subcomp(sub).put("%sBegin", prefix);
  std::vector<std::pair<std::string, std::function<void()>>> connects;
  std::vector<std::pair<std::string, std::function<void()>>> updates;
  {
    std::shared_lock<std::shared_mutex> clients(clientsLock_);
    if (connect) connects.assign(connectCallbacks_.begin(), connectCallbacks_.end());
    if (updateStub) updates.assign(updateStubCallbacks_.begin(), updateStubCallbacks_.end());
  }
  const std::string connectTag = std::string("(") + texts_.connectName + ")";
  QBX_LOG(loglevel::kInfo).subcomp(sub).put("%s%s %s", prefix, connect ? connectTag.c_str() : "",
                                            updateStub ? "(UPDATE_STUB)" : "");
  for (const auto& entry : connects) {
    const auto& callback = entry.second;
    QBX_LOG(texts_.perClient).subcomp(sub).put("%s[%s] Invoking %s", prefix, entry.first.c_str(), texts_.connectName);
    RunGuarded(sub, texts_.connectName, [&callback] {
      if (callback) callback();
    });
  }
  for (const auto& entry : updates) {
    const auto callback = entry.second;
    QBX_LOG(texts_.perClient).subcomp(sub).put("%s[%s] Invoking UPDATE_STUB", prefix, entry.first.c_str());
    if (callback) {
      forwardingProvider_->dispatcher().Post([sub, callback] { RunGuarded(sub, "UPDATE_STUB", callback); });
    }
  }
  QBX_LOG(loglevel::kDebug).subcomp(sub).put("%sEnd", prefix);
}

void ProxyClientBase::UpdateApplied() {
  bool forwarding = false;
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    forwarding = connectedForForwarding_;
    QBX_LOG(loglevel::kDebug)
        .subcomp(texts_.sub)
        .put("%s::Next %s Enabling Stub Creation!", texts_.observer, texts_.name);
    stubCreationEnabled_ = true;
  }
  QBX_LOG(loglevel::kInfo)
      .subcomp(kMpaSub)
      .put("%sInvoking NotifyClients update_stubs:%d disconnect_mps:%d", texts_.observerNotify, forwarding ? 1 : 0, 0);
  NotifyClients(forwarding, false);
  QBX_LOG(loglevel::kDebug).subcomp(texts_.sub).put("%s: End.", texts_.observer);
}

void ProxyClientBase::ClearPeerMap(std::map<std::string, bool>& map, const char* mapName) const {
  if (map.empty()) return;
  QBX_LOG(loglevel::kDebug).subcomp(texts_.sub).put("%s: Clearing %s", texts_.observer, mapName);
  map.clear();
}

void ProxyClientBase::LogEntryLacks(const char* entryName, const char* field) const {
  QBX_LOG(loglevel::kError)
      .subcomp(texts_.sub)
      .tag("errorCode:MPA00104")
      .put("%s does not have %s field", entryName, field);
}

std::string ProxyClientBase::EntryUuidText(const zumbra::qbx::UuidMsg& id, int i) const {
  std::string text = UuidMsgToString(id);
  QBX_LOG(loglevel::kDebug).subcomp(texts_.sub).put("uuid string (%d):%s ", i, text.c_str());
  return text;
}

void ProxyClientBase::ReleaseLoops() {
  const bool onOwnLoop = (provider_ && provider_->dispatcher().IsLoopThread()) ||
                         (forwardingProvider_ && forwardingProvider_->dispatcher().IsLoopThread());
  auto release = [cm = std::move(connectionManager_), fcm = std::move(forwardingConnectionManager_),
                  p = std::move(provider_), f = std::move(forwardingProvider_)]() mutable {
    cm.reset();
    if (p) p->StopAndWait(true);
    fcm.reset();
    if (f) f->StopAndWait(true);
    p.reset();
    f.reset();
  };
  if (onOwnLoop) {
    std::thread(std::move(release)).detach();
  } else {
    release();
  }
}

}  // namespace qbx
