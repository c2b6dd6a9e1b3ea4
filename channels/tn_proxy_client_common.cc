#include "channels/tn_proxy_client_common.h"

#include <utility>
#include <vector>

#include "core/logger.h"
#include "core/stub_creator.h"
#include "core/uuid.h"
#include "platform/rpc/asio_qbx_rpc_provider.h"
#include "platform/rpc/connection_manager.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/timer.h"

namespace qbx {

namespace {

constexpr const char* kSub = "tnproxy-client";
constexpr const char* kMpaSub = "mpa-client";

std::mutex g_instanceMutex;
std::shared_ptr<TnProxyClientCommon> g_instance;

std::unique_ptr<AsioQbxProvider> MakeProvider(const std::shared_ptr<ManualClock>& clock) {
  const AsioQbxProvider::Options options{};
  if (clock) return std::make_unique<AsioQbxProvider>(options, std::string(), clock);
  return std::make_unique<AsioQbxProvider>(options, std::string());
}

// A client's callback must not end the connection's event handling.
void RunGuarded(const char* what, const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    QBX_LOG(loglevel::kError).subcomp(kSub).put("Exception in %s callback: %s", what, e.what());
  } catch (...) {
    QBX_LOG(loglevel::kError).subcomp(kSub).put("Exception in %s callback", what);
  }
}

}  // namespace

RetryPolicy TnProxyClientCommon::DefaultRetryPolicy() {
  return RetryPolicy(std::chrono::milliseconds(1000), std::chrono::milliseconds(5000), 2.0, -1);
}

void TnProxyClientCommon::Init(const std::string& clientId, const std::string& EndPoint,
                               const std::string& StubsEndPoint) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon Init - clientId (%s), EndPoint (%s), StubsEndPoint (%s)",
                                             clientId.c_str(), EndPoint.c_str(), StubsEndPoint.c_str());
  std::lock_guard<std::mutex> lock(g_instanceMutex);
  if (g_instance) return;
  g_instance = Create(clientId, EndPoint, StubsEndPoint, Options());
}

std::shared_ptr<TnProxyClientCommon> TnProxyClientCommon::getInstance() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon getInstance ");
  std::lock_guard<std::mutex> lock(g_instanceMutex);
  return g_instance;
}

std::shared_ptr<TnProxyClientCommon> TnProxyClientCommon::Create(const std::string& clientId,
                                                                 const std::string& EndPoint,
                                                                 const std::string& StubsEndPoint,
                                                                 const Options& options) {
  return std::shared_ptr<TnProxyClientCommon>(new TnProxyClientCommon(clientId, EndPoint, StubsEndPoint, options));
}

TnProxyClientCommon::TnProxyClientCommon(const std::string& clientId, const std::string& EndPoint,
                                         const std::string& StubsEndPoint, const Options& options)
    : options_(options),
      endPoint_(EndPoint),
      stubsEndPoint_(StubsEndPoint),
      clientId_(clientId),
      stubRetriesLeft_(options.stubRetryBudget) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon Ctor ... Begin");
  provider_ = MakeProvider(options_.clock);
  forwardingProvider_ = MakeProvider(options_.clock);
  connectionManager_ = std::make_unique<rpc::ConnectionManager>(provider_->rpc());
  forwardingConnectionManager_ = std::make_unique<rpc::ConnectionManager>(forwardingProvider_->rpc());
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon endpoints %s %s", endPoint_.c_str(),
                                             stubsEndPoint_.c_str());
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon Ctor ... End");
}

TnProxyClientCommon::~TnProxyClientCommon() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon Dtor ... Begin");
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    if (retryTimer_) retryTimer_->Cancel();
    if (reconnectTimer_) reconnectTimer_->Cancel();
  }
  connectionManager_.reset();
  forwardingConnectionManager_.reset();
  {
    std::unique_lock<std::shared_mutex> lock(aphMapLock_);
    aphUuidMasterMap_.clear();
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon Dtor ... End");
}

void TnProxyClientCommon::Start() {
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    if (started_) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon Start, Already started");
      return;
    }
    started_ = true;
  }
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon Start");
  provider_->RunAsync(1);
  forwardingProvider_->RunAsync(1);
  connectAndSubscribeForAphInfo();
  connectForForwarding();
  std::unique_lock<std::shared_mutex> lock(stateLock_);
  stopped_ = false;
}

void TnProxyClientCommon::Stop() {
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    if (!started_) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon Stop, Already stopped");
      return;
    }
    started_ = false;
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon Stop, Begin");
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    connectedForForwarding_ = false;
  }
  uint8_t status = connectionManager_->TearDownConnection(net::Endpoint(endPoint_));
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TeardownConnection %s status:%d ", endPoint_.c_str(), status);
  status = forwardingConnectionManager_->TearDownConnection(net::Endpoint(stubsEndPoint_));
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("Teardown Forwarding Connection %s status:%d ", stubsEndPoint_.c_str(),
                                             status);
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    stopped_ = true;
    if (retryTimer_) {
      retryTimer_->Cancel();
      retryTimer_.reset();
    }
    if (reconnectTimer_) {
      reconnectTimer_->Cancel();
      reconnectTimer_.reset();
    }
  }
  forwardingProvider_->StopAndWait(true);
  provider_->StopAndWait(true);
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon Stop, End");
}

AsioQbxProvider* TnProxyClientCommon::GetProvider() { return forwardingProvider_.get(); }

std::string TnProxyClientCommon::getTnUuidStr() const {
  std::string copy;
  {
    std::lock_guard<std::mutex> lock(infoMutex_);
    copy = tnUuidStr_;
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon::getTnUuidStr: %s", copy.c_str());
  return copy;
}

zumbra::qbx::ProductVersionMsg TnProxyClientCommon::GetProductVersion() const {
  std::lock_guard<std::mutex> lock(infoMutex_);
  return productVersion_;
}

bool TnProxyClientCommon::IsConnectedForForwarding() const {
  std::shared_lock<std::shared_mutex> lock(stateLock_);
  return connectedForForwarding_;
}

std::map<std::string, bool> TnProxyClientCommon::GetAphUuidMasterMap() const {
  std::shared_lock<std::shared_mutex> lock(aphMapLock_);
  return aphUuidMasterMap_;
}

bool TnProxyClientCommon::IsStubCreationEnabled() const {
  std::shared_lock<std::shared_mutex> lock(stateLock_);
  return stubCreationEnabled_;
}

void TnProxyClientCommon::SetTnProxyConnectionUp(const std::string& clientName, const std::function<void()>& cb) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] TnProxyClientCommon SetTnProxyConnectionUp", clientName.c_str());
  std::unique_lock<std::shared_mutex> state(stateLock_);
  std::unique_lock<std::shared_mutex> clients(clientsLock_);
  connectCallbacks_[clientName] = cb;
}

void TnProxyClientCommon::SetUpdateStubs(const std::string& clientName, const std::function<void()>& cb) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] TnProxyClientCommon SetUpdateStubs", clientName.c_str());
  std::unique_lock<std::shared_mutex> state(stateLock_);
  std::unique_lock<std::shared_mutex> clients(clientsLock_);
  updateStubCallbacks_[clientName] = cb;
}

void TnProxyClientCommon::SetTnProxyConnectionDown(const std::string& clientName,
                                                   const std::function<void(rpc::CloseReason)>& cb) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("[%s] TnProxyClientCommon SetTnProxyConnectionDown", clientName.c_str());
  std::unique_lock<std::shared_mutex> clients(clientsLock_);
  connectionDownCallbacks_[clientName] = cb;
}

void TnProxyClientCommon::RemoveClient(const std::string& clientName) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon %s", clientName.c_str());
  {
    std::unique_lock<std::shared_mutex> clients(clientsLock_);
    connectionDownCallbacks_.erase(clientName);
    connectCallbacks_.erase(clientName);
    updateStubCallbacks_.erase(clientName);
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon Client %s removed.", clientName.c_str());
}

rpc::ConnectionParams TnProxyClientCommon::MakeParams(bool forwarding) {
  rpc::ConnectionParams params;
  params.retry_policy = DefaultRetryPolicy();
  params.reconnect_policy =
      rpc::ReconnectPolicy(rpc::ReconnectPolicy::ReconnectBehavior::kReconnect, DefaultRetryPolicy());
  params.connection_options.connect_timeout = std::chrono::milliseconds(2000);
  std::weak_ptr<TnProxyClientCommon> weak = weak_from_this();
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

void TnProxyClientCommon::connectAndSubscribeForAphInfo() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("connectAndSubscribeForAphInfo Enter");
  const rpc::ConnectionParams params = MakeParams(false);
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("Requesting connection for appl-proxy-info-service");
  if (connectionManager_->RequestConnection(net::Endpoint(endPoint_), params)) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("Request for a connection with TnProxy.");
  } else {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("Already a CK for connection to TnProxy.");
    GetStub();
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("connectAndSubscribeForAphInfo Exit");
}

void TnProxyClientCommon::connectForForwarding() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("connectForForwarding Enter");
  const rpc::ConnectionParams params = MakeParams(true);
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("Requesting connection for forwarding on %s", stubsEndPoint_.c_str());
  if (forwardingConnectionManager_->RequestConnection(net::Endpoint(stubsEndPoint_), params)) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("Connecting to TnProxy for forwarding.");
  } else {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("Already a CK for connection to TnProxy for forwarding.");
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("connectForForwarding Exit");
}

void TnProxyClientCommon::OnConnectionUp(const rpc::ConnectionInfo& info) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("Connected with TnProxy");
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon connected with (%s)", info.to_string().c_str());
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    stubRetriesLeft_ = options_.stubRetryBudget;
  }
  GetStub();
}

void TnProxyClientCommon::GetStub() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon GetStub");
  std::weak_ptr<TnProxyClientCommon> weak = weak_from_this();
  provider_->rpc().stub_factory().create<ApplProxyInfoStub>(
      clientId_, endPoint_,
      [weak](const std::optional<ApplProxyInfoStub>& stub, rpc::StubCreationStatus status) {
        StubCreateDone(weak, stub, status);
      });
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put(
      "TnProxyClientCommon GetStub : Stub creation scheduled for appl-proxy-info-service");
}

void TnProxyClientCommon::StubCreateDone(const std::weak_ptr<TnProxyClientCommon>& weak,
                                         const std::optional<ApplProxyInfoStub>& stub,
                                         rpc::StubCreationStatus status) {
  auto self = weak.lock();
  if (!self) return;
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("In StubCreateDone()");
  self->StubCreateDone_(stub, status);
}

void TnProxyClientCommon::StubCreateDone_(const std::optional<ApplProxyInfoStub>& stub,
                                          rpc::StubCreationStatus status) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon::StubCreateDone_");
  if (status == rpc::StubCreationStatus::kCreated && stub) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon::StubCreateDone_: Stub creation successful");
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("Stub created for applProxyInfoService.");
    {
      std::unique_lock<std::shared_mutex> lock(stateLock_);
      applProxyInfoStub_ = stub;
    }
    Subscribed();
    return;
  }
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon::StubCreateDone_: Stub creation failed");
  bool tearDown = false;
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    if (stopped_) return;
    --stubRetriesLeft_;
    if (stubRetriesLeft_ > 0) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon::StubCreateDone_: Starting timer for retry.");
      if (retryTimer_) retryTimer_->Cancel();
      std::weak_ptr<TnProxyClientCommon> weak = weak_from_this();
      retryTimer_ = provider_->timers().Schedule(options_.stubRetryDelay, [weak] {
        if (auto self = weak.lock()) self->GetStub();
      });
    } else {
      stubRetriesLeft_ = options_.stubRetryBudget;
      tearDown = true;
    }
  }
  if (tearDown) {
    const uint8_t st = connectionManager_->TearDownConnection(net::Endpoint(endPoint_));
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TeardownConnection status:%d ", st);
    ReconnectAfterDelay();
  }
}

// The wait runs on a timer instead of sleeping on the provider's thread with the state
// lock held: that would stall every other event of the connection, and any thread that
// only wants to read a flag, for the whole delay.
void TnProxyClientCommon::ReconnectAfterDelay() {
  std::unique_lock<std::shared_mutex> lock(stateLock_);
  if (stopped_) return;
  if (reconnectTimer_) reconnectTimer_->Cancel();
  std::weak_ptr<TnProxyClientCommon> weak = weak_from_this();
  reconnectTimer_ = provider_->timers().Schedule(options_.reconnectDelay, [weak] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::shared_lock<std::shared_mutex> state(self->stateLock_);
      if (self->stopped_) return;
    }
    self->connectAndSubscribeForAphInfo();
  });
}

void TnProxyClientCommon::Subscribed() {
  std::optional<ApplProxyInfoStub> stub;
  {
    std::shared_lock<std::shared_mutex> lock(stateLock_);
    stub = applProxyInfoStub_;
  }
  if (!stub) return;
  const rpc::ClientContext context(clientId_);
  const zumbra::qbx::messaging::ApplProxyInfoReqMsg request;
  auto* observer = new ApplProxyInfoObserver(weak_from_this());
  // The stream lives on through the observer; the handle is not needed.
  rpc::client::AsyncCall<zumbra::qbx::messaging::ApplProxyInfoReqMsg, zumbra::qbx::messaging::ApplProxyInfoRspMsg>(
      stub->channel(), "Subscribe", context, request, observer);
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("ApplProxyInfoService: Subscribed.");
}

void TnProxyClientCommon::ApplProxyInfoObserver::Next(const zumbra::qbx::messaging::ApplProxyInfoRspMsg& msg) {
  auto client = client_.lock();
  if (!client) {
    QBX_LOG(loglevel::kError).subcomp(kSub).tag("errorCode:MPA00108").put("MPAClient has been destroyed already");
    return;
  }
  client->ProcessApplProxyInfo(msg);
}

void TnProxyClientCommon::ApplProxyInfoObserver::RemoteStatus(const rpc::Status& status) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon response debug message (%s)",
                                              status.ToString().c_str());
}

void TnProxyClientCommon::ApplProxyInfoObserver::CallStatus(const rpc::Status& status) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon received status (%s)", status.ToString().c_str());
  delete this;
}

void TnProxyClientCommon::ProcessApplProxyInfo(const zumbra::qbx::messaging::ApplProxyInfoRspMsg& msg) {
  {
    std::lock_guard<std::mutex> lock(infoMutex_);
    if (msg.has_tn_uuid()) {
      tnUuidStr_ = UuidMsgToString(msg.tn_uuid());
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("The TN uuid received in ApplProxyInfoRspMsg is: %s",
                                                  tnUuidStr_.c_str());
    }
    if (msg.has_product_version()) {
      productVersion_.Clear();
      productVersion_.CopyFrom(msg.product_version());
    }
  }
  if (msg.appl_proxy_info_size() == 0) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("ApplProxyInfoObserver: Empty Response.");
    return;
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("Receiving message: %s ", msg.DebugString().c_str());
  {
    std::unique_lock<std::shared_mutex> lock(aphMapLock_);
    if (!aphUuidMasterMap_.empty()) {
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("ApplProxyInfoObserver: Clearing aphUuidMasterMap_");
      aphUuidMasterMap_.clear();
    }
    for (int i = 0; i < msg.appl_proxy_info_size(); ++i) {
      const auto& entry = msg.appl_proxy_info(i);
      if (!entry.has_id()) {
        QBX_LOG(loglevel::kError).subcomp(kSub).tag("errorCode:MPA00104").put("applProxyInfoMsg does not have id field");
        return;
      }
      const std::string text = UuidMsgToString(entry.id());
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("uuid string (%d):%s ", i, text.c_str());
      if (!entry.has_master()) {
        QBX_LOG(loglevel::kError).subcomp(kSub).tag("errorCode:MPA00104").put(
            "applProxyInfoMsg does not have master field");
        return;
      }
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("flag (%d):%d ", i, entry.master() ? 1 : 0);
      aphUuidMasterMap_[text] = entry.master();
    }
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("ApplProxyInfoObserver: Processed applProxyInfo Response.");
  bool forwarding = false;
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    forwarding = connectedForForwarding_;
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("ApplProxyInfoObserver::Next TnProxyClientCommon Enabling Stub Creation!");
    stubCreationEnabled_ = true;
  }
  QBX_LOG(loglevel::kInfo).subcomp(kMpaSub).put("Invoking NotifyClients update_stubs:%d disconnect_mps:%d",
                                                forwarding ? 1 : 0, 0);
  NotifyClients(forwarding, false);
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("ApplProxyInfoObserver: End.");
}

void TnProxyClientCommon::OnConnectionClosed(const net::Endpoint& /*endpoint*/, rpc::CloseReason reason) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("Connection closed with TnProxy, reason: %s",
                                             rpc::CloseReasonToCStr(reason));
  std::unique_lock<std::shared_mutex> lock(stateLock_);
  stubCreationEnabled_ = false;
}

void TnProxyClientCommon::OnForwardingConnectionUp(const rpc::ConnectionInfo& info) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("Connected with TnProxy for forwarding");
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon connected with (%s)", info.to_string().c_str());
  bool enabled = false;
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("setting connectedForForwarding_ to true");
    connectedForForwarding_ = true;
    enabled = stubCreationEnabled_;
  }
  QBX_LOG(loglevel::kInfo).subcomp(kMpaSub).put("OnForwardingConnectionUp Invoking NotifyClients");
  NotifyClients(enabled, true);
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("OnForwardingConnectionUp: End");
}

void TnProxyClientCommon::OnForwardingConnectionClosed(const net::Endpoint& /*endpoint*/, rpc::CloseReason reason) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("Forwarding Connection closed with TnProxy, reason: %s",
                                             rpc::CloseReasonToCStr(reason));
  std::vector<std::function<void(rpc::CloseReason)>> callbacks;
  {
    std::unique_lock<std::shared_mutex> state(stateLock_);
    connectedForForwarding_ = false;
    std::shared_lock<std::shared_mutex> clients(clientsLock_);
    for (const auto& [name, cb] : connectionDownCallbacks_) callbacks.push_back(cb);
  }
  for (const auto& cb : callbacks) {
    RunGuarded("connection-down", [&cb, reason] {
      if (cb) cb(reason);
    });
  }
}

void TnProxyClientCommon::NotifyClients(bool updateStub, bool connectTnProxy) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("NotifyClients: Begin");
  std::vector<std::pair<std::string, std::function<void()>>> connects;
  std::vector<std::pair<std::string, std::function<void()>>> updates;
  {
    std::shared_lock<std::shared_mutex> clients(clientsLock_);
    if (connectTnProxy) connects.assign(connectCallbacks_.begin(), connectCallbacks_.end());
    if (updateStub) updates.assign(updateStubCallbacks_.begin(), updateStubCallbacks_.end());
  }
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("NotifyClients: %s %s", connectTnProxy ? "(CONNECT_TNPROXY)" : "",
                                             updateStub ? "(UPDATE_STUB)" : "");
  for (const auto& entry : connects) {
    const auto& callback = entry.second;
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("NotifyClients: [%s] Invoking CONNECT_TNPROXY", entry.first.c_str());
    RunGuarded("CONNECT_TNPROXY", [&callback] {
      if (callback) callback();
    });
  }
  for (const auto& entry : updates) {
    const auto callback = entry.second;
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("NotifyClients: [%s] Invoking UPDATE_STUB", entry.first.c_str());
    if (callback) forwardingProvider_->dispatcher().Post([callback] { RunGuarded("UPDATE_STUB", callback); });
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("NotifyClients: End");
}

}  // namespace qbx
