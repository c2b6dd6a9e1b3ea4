#include "channels/proxy/sn_proxy_client_common.h"

#include <mutex>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "channels/proxy/proxy_client_base.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/timer.h"
#include "platform/smartnic/sn_util.h"

namespace qbx {

namespace {

constexpr const char* kSub = "snproxy-client";

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
                                    loglevel::kInfo,
                                    "snProxyInfoService",
                                    "SNProxyInfoService",
                                    "SNProxyInfoObserver",
                                    "SNProxyInfoObserver::",
                                    false};

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
    : ProxyInfoClient(kTexts, clientId, EndPoint, options.forwardingEndPoint, options.clock, options.stubRetryDelay,
                      options.reconnectDelay, options.stubRetryBudget) {
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
  TearDownConnections();
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("SNProxyClientCommon Stop, End");
}

std::string SNProxyClientCommon::getSNUuidStr() const { return NodeUuid("getSNUuidStr"); }

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

void SNProxyClientCommon::ProcessSNProxyInfo(const zumbra::qbx::messaging::SNProxyInfoRspMsg& msg) {
  if (msg.has_uuid()) SetNodeUuid(msg.uuid(), "local", "SNProxyInfoRspMsg");
  if (msg.has_product_version()) {
    SetProductVersion(msg.product_version());
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("The prod version received in SNProxyInfoRspMsg is %s",
                                               msg.product_version().DebugString().c_str());
  }
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("SNProxyInfoObserver::Receiving message: %s ", msg.DebugString().c_str());
  {
    // An empty list is news too: every peer is gone, and the clients must drop their stubs.
    std::unique_lock<std::shared_mutex> lock(snMapLock_);
    ClearPeerMap(snUuidMap_, "snUuidMap_");
    for (int i = 0; i < msg.sn_proxy_info_size(); ++i) {
      const std::optional<std::string> uuid = EntryUuid(msg.sn_proxy_info(i), i, "snProxyInfoMsg");
      if (!uuid) return;
      snUuidMap_[*uuid] = true;
    }
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("SNProxyInfoObserver: Processed snProxyInfo Response.");
  UpdateApplied();
}

}  // namespace qbx
