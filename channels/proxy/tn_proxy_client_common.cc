#include "channels/proxy/tn_proxy_client_common.h"

#include <mutex>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "channels/proxy/proxy_client_base.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/timer.h"

namespace qbx {

namespace {

constexpr const char* kSub = "tnproxy-client";

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
                                    loglevel::kDebug,
                                    "applProxyInfoService",
                                    "ApplProxyInfoService",
                                    "ApplProxyInfoObserver",
                                    "",
                                    true};

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
    : ProxyInfoClient(kTexts, clientId, EndPoint, StubsEndPoint, options.clock, options.stubRetryDelay,
                      options.reconnectDelay, options.stubRetryBudget) {
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("TnProxyClientCommon Ctor ... Begin");
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon endpoints %s %s", endPoint_.c_str(),
                                             forwardingEndPoint_.c_str());
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
  TearDownConnections();
  forwardingProvider_->StopAndWait(true);
  provider_->StopAndWait(true);
  QBX_LOG(loglevel::kInfo).subcomp(kSub).put("TnProxyClientCommon Stop, End");
}

std::string TnProxyClientCommon::getTnUuidStr() const { return NodeUuid("getTnUuidStr"); }

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

void TnProxyClientCommon::ProcessInfo(const zumbra::qbx::messaging::ApplProxyInfoRspMsg& msg) {
  if (msg.has_tn_uuid()) SetNodeUuid(msg.tn_uuid(), "TN", "ApplProxyInfoRspMsg");
  if (msg.has_product_version()) SetProductVersion(msg.product_version());
  if (msg.appl_proxy_info_size() == 0) {
    QBX_LOG(loglevel::kInfo).subcomp(kSub).put("ApplProxyInfoObserver: Empty Response.");
    return;
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("Receiving message: %s ", msg.DebugString().c_str());
  {
    std::unique_lock<std::shared_mutex> lock(aphMapLock_);
    ClearPeerMap(aphUuidMasterMap_, "aphUuidMasterMap_");
    for (int i = 0; i < msg.appl_proxy_info_size(); ++i) {
      const auto& entry = msg.appl_proxy_info(i);
      const std::optional<std::string> uuid = EntryUuid(entry, i, "applProxyInfoMsg");
      if (!uuid) return;
      if (!entry.has_master()) {
        LogEntryLacks("applProxyInfoMsg", "master");
        return;
      }
      QBX_LOG(loglevel::kDebug).subcomp(kSub).put("flag (%d):%d ", i, entry.master() ? 1 : 0);
      aphUuidMasterMap_[*uuid] = entry.master();
    }
  }
  QBX_LOG(loglevel::kDebug).subcomp(kSub).put("ApplProxyInfoObserver: Processed applProxyInfo Response.");
  UpdateApplied();
}

}  // namespace qbx
