#include "channels/proxy/sn_proxy_client_common.h"

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
#include "platform/smartnic/sn_util.h"

namespace qbx {

namespace {

constexpr const char* kSub = "snproxy-client";
constexpr const char* kMpaSub = "mpa-client";

std::mutex g_instanceMutex;
std::shared_ptr<SNProxyClientCommon> g_instance;

int32_t ExpectedPeers() {
  switch (SNUtil::GetNodePersona()) {
    case SNUtil::kPersonaSnHost:
      return static_cast<int32_t>(SNUtil::GetNumSmartNICs());
    case SNUtil::kPersonaSn:
      return 1;
    default:
      return 0;
  }
}

const ProxyClientBase::Texts kTexts{kSub,
                                    "SNProxyClientCommon",
                                    "SNProxy",
                                    "SNProxyClientCommon: ",
                                    "connectAndSubscribeForSNInfo",
                                    "sn-proxy-info-service",
                                    "SNProxyClientCommon::NotifyClients: ",
                                    "CONNECT_SNPROXY",
                                    loglevel::kInfo};

}  // namespace

void SNProxyClientCommon::Init(const std::string& clientId, const std::string& EndPoint) {
  Init(clientId, EndPoint, Options());
}

void SNProxyClientCommon::Init(const std::string& clientId, const std::string& EndPoint, const Options& options) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("SNProxyClientCommon Init - (%s), (%s)", clientId.c_str(), EndPoint.c_str());
  std::lock_guard<std::mutex> lock(g_instanceMutex);
  if (g_instance) return;
  g_instance = Create(clientId, EndPoint, options);
}

std::shared_ptr<SNProxyClientCommon> SNProxyClientCommon::getInstance() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("SNProxyClientCommon getInstance ");
  std::lock_guard<std::mutex> lock(g_instanceMutex);
  return g_instance;
}

void SNProxyClientCommon::ResetInstanceForTest() {
  std::shared_ptr<SNProxyClientCommon> gone;  // released after the lock
  std::lock_guard<std::mutex> lock(g_instanceMutex);
  gone.swap(g_instance);
}

std::shared_ptr<SNProxyClientCommon> SNProxyClientCommon::Create(const std::string& clientId,
                                                                 const std::string& EndPoint, const Options& options) {
  return std::shared_ptr<SNProxyClientCommon>(new SNProxyClientCommon(clientId, EndPoint, options));
}

SNProxyClientCommon::SNProxyClientCommon(const std::string& clientId, const std::string& EndPoint,
                                         const Options& options)
    : ProxyClientBase(kTexts, clientId, EndPoint, options.clock, options.stubRetryDelay, options.reconnectDelay,
                      options.stubRetryBudget),
      options_(options) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("SNProxyClientCommon Ctor ... Begin");
  // Both providers run from here on, started or not: the smart-NIC clients made at
  // registration schedule their timers on the forwarding provider before any Start.
  provider_->RunAsync(1);
  forwardingProvider_->RunAsync(1);
  numSmartNics_ = ExpectedPeers();
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("SNProxyClientCommon Ctor ... End");
}

SNProxyClientCommon::~SNProxyClientCommon() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("SNProxyClientCommon Dtor ... Begin");
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    if (retryTimer_) retryTimer_->Cancel();
    if (reconnectTimer_) reconnectTimer_->Cancel();
    connectedForForwarding_ = false;
    stubCreationEnabled_ = false;
  }
  ReleaseLoops();
  {
    std::unique_lock<std::shared_mutex> lock(snMapLock_);
    snUuidMap_.clear();
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("SNProxyClientCommon Dtor ... End");
}

void SNProxyClientCommon::Start() {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("SNProxyClientCommon Start");
  {
    // Cleared first: a connection that comes up at once must find the client running.
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    stopped_ = false;
  }
  connectAndSubscribe();
  connectForForwarding();
}

void SNProxyClientCommon::Stop() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("SNProxyClientCommon Stop, Begin");
  {
    // Set before the tear-down: a failed stub creation or a close it causes must not
    // schedule a retry or a reconnect.
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    stopped_ = true;
  }
  uint8_t status = connectionManager_->TearDownConnection(net::Endpoint(endPoint_));
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TeardownConnection status:%d ", status);
  status = forwardingConnectionManager_->TearDownConnection(net::Endpoint(options_.forwardingEndPoint));
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("Teardown Forwarding Connection status:%d ", status);
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    stopped_ = true;
    CancelTimers();
  }
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("SNProxyClientCommon Stop, End");
}

std::string SNProxyClientCommon::getSNUuidStr() const {
  std::string copy;
  {
    std::lock_guard<std::mutex> lock(infoMutex_);
    copy = snUuidStr_;
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("SNProxyClientCommon::getSNUuidStr: %s", copy.c_str());
  return copy;
}

zumbra::qbx::ProductVersionMsg SNProxyClientCommon::GetProductVersion() const {
  std::lock_guard<std::mutex> lock(infoMutex_);
  return productVersion_;
}

std::map<std::string, bool> SNProxyClientCommon::GetSnUuidMap() const {
  std::shared_lock<std::shared_mutex> lock(snMapLock_);
  return snUuidMap_;
}

bool SNProxyClientCommon::IsStopped() const {
  std::shared_lock<std::shared_mutex> lock(stateLock_);
  return stopped_;
}

void SNProxyClientCommon::SetSNProxyConnectionUp(const std::string& clientName, const std::function<void()>& cb) {
  SetConnectionUp(clientName, cb, "SetSNProxyConnectionUp");
}

void SNProxyClientCommon::SetSNProxyConnectionDown(const std::string& clientName,
                                                   const std::function<void(rpc::CloseReason)>& cb) {
  SetConnectionDown(clientName, cb, "SetSNProxyConnectionDown");
}

void SNProxyClientCommon::connectForForwarding() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("connectForForwarding Enter");
  const rpc::ConnectionParams params = MakeParams(true);
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("Requesting connection for forwarding");
  if (forwardingConnectionManager_->RequestConnection(net::Endpoint(options_.forwardingEndPoint), params)) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("Connecting to SNProxy for forwarding.");
  } else {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("Already a CK for connection to SNProxy for forwarding.");
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("connectForForwarding Exit");
}

void SNProxyClientCommon::GetStub() {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("SNProxyClientCommon GetStub");
  std::weak_ptr<SNProxyClientCommon> weak = weak_from_this();
  const uint64_t seq = BeginSubscription();
  provider_->rpc().stub_factory().create<SNProxyInfoStub>(
      clientId_, endPoint_, [weak, seq](const std::optional<SNProxyInfoStub>& stub, rpc::StubCreationStatus status) {
        StubCreateDone(weak, seq, stub, status);
      });
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("SNProxyClientCommon GetStub : Stub creation scheduled for sn-proxy-info-service");
}

void SNProxyClientCommon::StubCreateDone(const std::weak_ptr<SNProxyClientCommon>& weak, uint64_t seq,
                                         const std::optional<SNProxyInfoStub>& stub, rpc::StubCreationStatus status) {
  auto self = weak.lock();
  if (!self) return;
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("SNProxyClientCommon: In StubCreateDone()");
  self->StubCreateDone_(seq, stub, status);
}

void SNProxyClientCommon::StubCreateDone_(uint64_t seq, const std::optional<SNProxyInfoStub>& stub, rpc::StubCreationStatus status) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("SNProxyClientCommon::StubCreateDone_");
  // A creation that a later one replaced neither subscribes nor retries.
  if (!KeepStubOf(seq)) return;
  if (status == rpc::StubCreationStatus::kCreated && stub) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("SNProxyClientCommon::StubCreateDone_: Stub creation successful");
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("Stub created for snProxyInfoService.");
    {
      std::unique_lock<std::shared_mutex> lock(stateLock_);
      snProxyInfoStub_ = stub;
    }
    Subscribed(seq);
    return;
  }
  StubCreationFailed();
}

void SNProxyClientCommon::Subscribed(uint64_t seq) {
  std::optional<SNProxyInfoStub> stub;
  {
    std::shared_lock<std::shared_mutex> lock(stateLock_);
    stub = snProxyInfoStub_;
  }
  if (!stub) return;
  const rpc::ClientContext context(clientId_);
  const zumbra::qbx::messaging::SNProxyInfoReqMsg request;
  auto* observer = new SNProxyInfoObserver(weak_from_this(), seq);
  auto call = rpc::client::AsyncCall<zumbra::qbx::messaging::SNProxyInfoReqMsg, zumbra::qbx::messaging::SNProxyInfoRspMsg>(
      stub->channel(), "Subscribe", context, request, observer);
  std::shared_ptr<rpc::CallHandleImpl<zumbra::qbx::messaging::SNProxyInfoReqMsg>> replaced;
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
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("SNProxyInfoService: Subscribed.");
}

void SNProxyClientCommon::SNProxyInfoObserver::Next(const zumbra::qbx::messaging::SNProxyInfoRspMsg& msg) {
  auto client = client_.lock();
  if (!client) {
    QBX_LOG(loglevel::kError).subcomp(kSub).tag("errorCode:MPA00108").put("MPAClient has been destroyed already");
    return;
  }
  if (!client->IsCurrentSubscription(seq_)) return;  // a replaced subscription's late update
  client->ProcessSNProxyInfo(msg);
}

void SNProxyClientCommon::SNProxyInfoObserver::RemoteStatus(const rpc::Status& status) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("SNProxyClientCommon response debug message (%s)", status.ToString().c_str());
}

void SNProxyClientCommon::SNProxyInfoObserver::CallStatus(const rpc::Status& status) {
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("SNProxyClientCommon received status (%s)", status.ToString().c_str());
  if (auto client = client_.lock()) client->SubscriptionEnded(seq_);
  delete this;
}

void SNProxyClientCommon::ProcessSNProxyInfo(const zumbra::qbx::messaging::SNProxyInfoRspMsg& msg) {
  {
    std::lock_guard<std::mutex> lock(infoMutex_);
    if (msg.has_uuid()) {
      snUuidStr_ = UuidMsgToString(msg.uuid());
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("The local uuid received in SNProxyInfoRspMsg is: %s", snUuidStr_.c_str());
    }
    if (msg.has_product_version()) {
      productVersion_.Clear();
      productVersion_.CopyFrom(msg.product_version());
      QBX_LOG(loglevel::kInfo).subcomp(kSub).put("The prod version received in SNProxyInfoRspMsg is %s",
                                                 productVersion_.DebugString().c_str());
    }
  }
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("SNProxyInfoObserver::Receiving message: %s ", msg.DebugString().c_str());
  {
    // An empty list is news too: every peer is gone, and the clients must drop their stubs.
    std::unique_lock<std::shared_mutex> lock(snMapLock_);
    if (!snUuidMap_.empty()) {
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("SNProxyInfoObserver: Clearing snUuidMap_");
      snUuidMap_.clear();
    }
    for (int i = 0; i < msg.sn_proxy_info_size(); ++i) {
      const auto& entry = msg.sn_proxy_info(i);
      if (!entry.has_id()) {
        QBX_LOG(loglevel::kError).subcomp(kSub).tag("errorCode:MPA00104").put("snProxyInfoMsg does not have id field");
        return;
      }
      const std::string text = UuidMsgToString(entry.id());
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("uuid string (%d):%s ", i, text.c_str());
      snUuidMap_[text] = true;
    }
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("SNProxyInfoObserver: Processed snProxyInfo Response.");
  bool forwarding = false;
  {
    std::unique_lock<std::shared_mutex> lock(stateLock_);
    forwarding = connectedForForwarding_;
    QBX_LOG(loglevel::kDebug).subcomp(kSub).put("SNProxyInfoObserver::Next SNProxyClientCommon Enabling Stub Creation!");
    stubCreationEnabled_ = true;
  }
  QBX_LOG(loglevel::kInfo).subcomp(kMpaSub).put("SNProxyInfoObserver::Invoking NotifyClients update_stubs:%d disconnect_mps:%d",
                                                forwarding ? 1 : 0, 0);
  NotifyClients(forwarding, false);
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("SNProxyInfoObserver: End.");
}

}  // namespace qbx
