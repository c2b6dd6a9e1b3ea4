#include "channels/proxy/tn_proxy_client_common.h"

#include <utility>
#include <vector>

#include "base/logger.h"
#include "channels/proxy/proxy_client_base.h"
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

const ProxyClientBase::Texts kTexts{kSub,
                                    "TnProxyClientCommon",
                                    "TnProxy",
                                    "",
                                    "connectAndSubscribeForAphInfo",
                                    "appl-proxy-info-service",
                                    "NotifyClients: ",
                                    "CONNECT_TNPROXY",
                                    loglevel::kDebug};

}  // namespace

void TnProxyClientCommon::Init(const std::string& clientId, const std::string& EndPoint,
                               const std::string& StubsEndPoint) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon Init - clientId (%s), EndPoint (%s), StubsEndPoint (%s)",
                                             clientId.c_str(), EndPoint.c_str(), StubsEndPoint.c_str());
  std::lock_guard<std::mutex> lock(g_instanceMutex);
  if (g_instance) return;
  g_instance = Create(clientId, EndPoint, StubsEndPoint, Options());
}

void TnProxyClientCommon::ResetInstanceForTest() {
  std::shared_ptr<TnProxyClientCommon> gone;  // released after the lock
  std::lock_guard<std::mutex> lock(g_instanceMutex);
  gone.swap(g_instance);
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
    : ProxyClientBase(kTexts, clientId, EndPoint, options.clock, options.stubRetryDelay, options.reconnectDelay,
                      options.stubRetryBudget),
      stubsEndPoint_(StubsEndPoint) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon Ctor ... Begin");
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
  ReleaseLoops();
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
    // Cleared before connecting: a stub creation that fails at once must find the client
    // running, or it would schedule no retry and the client would never subscribe.
    stopped_ = false;
  }
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon Start");
  provider_->RunAsync(1);
  forwardingProvider_->RunAsync(1);
  connectAndSubscribe();
  connectForForwarding();
}

void TnProxyClientCommon::Stop() {
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    if (!started_) {
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon Stop, Already stopped");
      return;
    }
    started_ = false;
    // Set before the tear-down: a failed stub creation or a close it causes must not
    // schedule a retry or a reconnect.
    stopped_ = true;
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
    CancelTimers();
  }
  forwardingProvider_->StopAndWait(true);
  provider_->StopAndWait(true);
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon Stop, End");
}

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

std::map<std::string, bool> TnProxyClientCommon::GetAphUuidMasterMap() const {
  std::shared_lock<std::shared_mutex> lock(aphMapLock_);
  return aphUuidMasterMap_;
}

bool TnProxyClientCommon::HasAph(const std::string& uuid) const {
  std::shared_lock<std::shared_mutex> lock(aphMapLock_);
  return aphUuidMasterMap_.count(uuid) != 0;
}

void TnProxyClientCommon::SetTnProxyConnectionUp(const std::string& clientName, const std::function<void()>& cb) {
  SetConnectionUp(clientName, cb, "SetTnProxyConnectionUp");
}

void TnProxyClientCommon::SetTnProxyConnectionDown(const std::string& clientName,
                                                   const std::function<void(rpc::CloseReason)>& cb) {
  SetConnectionDown(clientName, cb, "SetTnProxyConnectionDown");
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

void TnProxyClientCommon::GetStub() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon GetStub");
  std::weak_ptr<TnProxyClientCommon> weak = weak_from_this();
  const uint64_t seq = BeginSubscription();
  provider_->rpc().stub_factory().create<ApplProxyInfoStub>(
      clientId_, endPoint_,
      [weak, seq](const std::optional<ApplProxyInfoStub>& stub, rpc::StubCreationStatus status) {
        StubCreateDone(weak, seq, stub, status);
      });
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put(
      "TnProxyClientCommon GetStub : Stub creation scheduled for appl-proxy-info-service");
}

void TnProxyClientCommon::StubCreateDone(const std::weak_ptr<TnProxyClientCommon>& weak, uint64_t seq,
                                         const std::optional<ApplProxyInfoStub>& stub,
                                         rpc::StubCreationStatus status) {
  auto self = weak.lock();
  if (!self) return;
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("In StubCreateDone()");
  self->StubCreateDone_(seq, stub, status);
}

void TnProxyClientCommon::StubCreateDone_(uint64_t seq, const std::optional<ApplProxyInfoStub>& stub,
                                          rpc::StubCreationStatus status) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon::StubCreateDone_");
  // A creation that a later one replaced neither subscribes nor retries.
  if (!KeepStubOf(seq)) return;
  if (status == rpc::StubCreationStatus::kCreated && stub) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon::StubCreateDone_: Stub creation successful");
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("Stub created for applProxyInfoService.");
    {
      std::unique_lock<std::shared_mutex> lock(stateLock_);
      applProxyInfoStub_ = stub;
    }
    Subscribed(seq);
    return;
  }
  StubCreationFailed();
}

void TnProxyClientCommon::Subscribed(uint64_t seq) {
  std::optional<ApplProxyInfoStub> stub;
  {
    std::shared_lock<std::shared_mutex> lock(stateLock_);
    stub = applProxyInfoStub_;
  }
  if (!stub) return;
  const rpc::ClientContext context(clientId_);
  const zumbra::qbx::messaging::ApplProxyInfoReqMsg request;
  auto* observer = new ApplProxyInfoObserver(weak_from_this(), seq);
  auto call = rpc::client::AsyncCall<zumbra::qbx::messaging::ApplProxyInfoReqMsg, zumbra::qbx::messaging::ApplProxyInfoRspMsg>(
      stub->channel(), "Subscribe", context, request, observer);
  std::shared_ptr<rpc::CallHandleImpl<zumbra::qbx::messaging::ApplProxyInfoReqMsg>> replaced;
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    if (seq == subscriptionSeq_) {
      replaced.swap(subscription_);
      subscription_ = call;
    } else {
      replaced = call;  // a later creation began meanwhile
    }
  }
  // One subscription feeds the client: the one it replaces ends here.
  if (replaced) replaced->Cancel();
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("ApplProxyInfoService: Subscribed.");
}

void TnProxyClientCommon::ApplProxyInfoObserver::Next(const zumbra::qbx::messaging::ApplProxyInfoRspMsg& msg) {
  auto client = client_.lock();
  if (!client) {
    QBX_LOG(loglevel::kError).subcomp(kSub).tag("errorCode:MPA00108").put("MPAClient has been destroyed already");
    return;
  }
  if (!client->IsCurrentSubscription(seq_)) return;  // a replaced subscription's late update
  client->ProcessApplProxyInfo(msg);
}

void TnProxyClientCommon::ApplProxyInfoObserver::RemoteStatus(const rpc::Status& status) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon response debug message (%s)",
                                              status.ToString().c_str());
}

void TnProxyClientCommon::ApplProxyInfoObserver::CallStatus(const rpc::Status& status) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon received status (%s)", status.ToString().c_str());
  if (auto client = client_.lock()) client->SubscriptionEnded(seq_);
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

}  // namespace qbx
