#include "channels/queue/agg_svc_mpa_client.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/msg_metadata.h"
#include "base/logger.h"
#include "channels/mpa/mpa_client.h"
#include "channels/transport/rmq_client.h"

namespace {

constexpr const char* kSub = "agg-service";

// AppToAggSvcMpaClientMap and its mutex (the map mutex).
struct ClientMap {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<AggSvcMpaClient>> clients;
  // Names whose registration is under way: a name is claimed here, under the mutex, before
  // its client is made, so that two registrations of one name cannot both make one.
  std::set<std::string> registering;
};

ClientMap& AppToAggSvcMpaClientMap() {
  static ClientMap* map = new ClientMap();  // lives to the end of the process
  return *map;
}

std::atomic<int64_t> g_closeReconnectDelayMs{1000};

char* DupString(const char* s) { return s == nullptr ? nullptr : strdup(s); }

struct UnlockGuard {
  AggServiceClient* client;
  ~UnlockGuard() { client->Unlock(); }
};

// The registered aggregation-service client, read under `mutex`; null, logged under `func`,
// when it is gone.
std::shared_ptr<AggServiceClient> AcquireAggServiceClient(std::mutex& mutex, const std::weak_ptr<AggServiceClient>& weak,
                                                          const char* func, const char* app) {
  std::shared_ptr<AggServiceClient> client;
  {
    std::lock_guard<std::mutex> lock(mutex);
    client = weak.lock();
  }
  if (!client) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSub)
        .tag("errorCode:MPA10060")
        .put("[%s][%s] No AggServiceClient registered: %s\n", func, app, "Unable to acquire weak pointer");
  }
  return client;
}

// The call elements of a header block. Each is taken from its first string element, as
// every other look-up of this process takes it: the vertical must be told the call that the
// reply path will answer.
struct CallIds {
  std::optional<std::string> typeId, correlationId, replyTo;

  void Take(const qbx::BsonHeaders::Element& e) {
    qbx::BsonHeaders::TakeFirst(e, "__TypeId__", typeId);
    qbx::BsonHeaders::TakeFirst(e, "amqp_correlationId", correlationId);
    qbx::BsonHeaders::TakeFirst(e, "amqp_replyTo", replyTo);
  }
  // Fills in the elements found; the others keep what they hold.
  void Into(std::string& t, std::string& c, std::string& r) const {
    if (typeId) t = *typeId;
    if (correlationId) c = *correlationId;
    if (replyTo) r = *replyTo;
  }
};

}  // namespace

void FreeMpaMsg(rmqClientMessage* msg) {
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("FreeMpaMsg called");
  if (msg == nullptr) return;
  std::free(msg->contentType);
  std::free(msg->routingKey);
  std::free(msg->appId);
  std::free(msg->appType);
  std::free(msg->payload);
  qbx::BsonHeaders::Destroy(static_cast<bson_t*>(msg->headers));
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s] Deleting RMQCLIENT_Message\n", "FreeMpaMsg");
  std::free(msg);
}

AggSvcMpaClient::AggSvcMpaClient(std::string appName, std::shared_ptr<qbx::MpaClient> mpaClient,
                                 std::shared_ptr<qbx::MpaClient> snMpaClient, uint32_t clientMode)
    : _appName(std::move(appName)),
      _mpaClient(std::move(mpaClient)),
      _snMpaClient(std::move(snMpaClient)),
      _clientMode(clientMode),
      _msgFromMpaQ(std::make_shared<qbx::CPQueue<MsgPtr>>(kRxQueueCapacity, false)) {}

AggSvcMpaClient::~AggSvcMpaClient() {
  Close();
  // A thread that was never stopped (Close found no host client) or whose stop timed out.
  _rxThreadRunning = false;
  _msgFromMpaQ->Close();
  if (_rxThread.joinable()) {
    if (_rxThread.get_id() == std::this_thread::get_id()) {
      _rxThread.detach();
    } else {
      _rxThread.join();
    }
  }
}

void AggSvcMpaClient::SetCloseReconnectDelayForTest(std::chrono::milliseconds delay) {
  g_closeReconnectDelayMs = delay.count();
}

// ---- registration ----

std::shared_ptr<AggSvcMpaClient> AggSvcMpaClient::RegisterVertical(const std::string& appName,
                                                                   const ChannelContext& hostProvider,
                                                                   const ChannelContext& snProvider) {
  ClientMap& map = AppToAggSvcMpaClientMap();
  {
    std::lock_guard<std::mutex> lock(map.mutex);
    if (map.clients.count(appName) != 0 || !map.registering.insert(appName).second) {
      QBX_LOG(qbx::loglevel::kError).subcomp(kSub).tag("errorCode:MPA10077").put("[%s] Vertical is already registered.", appName.c_str());
      return nullptr;
    }
  }
  // The claim is given up on every way out; the client is made without the map mutex held.
  std::shared_ptr<AggSvcMpaClient> client;
  try {
    client = CreateAggSvcMpaClient(appName, hostProvider, snProvider);
    if (client && !client->StartRxThread()) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSub)
          .tag("errorCode:MPA10051")
          .put("[%s] Failed to start AggSvcMpaClient's RxThread", appName.c_str());
      client->StopRxThread(1);
      client.reset();
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(map.mutex);
    map.registering.erase(appName);
    throw;
  }
  std::lock_guard<std::mutex> lock(map.mutex);
  map.registering.erase(appName);
  if (client) map.clients[appName] = client;
  return client;
}

std::shared_ptr<AggSvcMpaClient> AggSvcMpaClient::RegisterVerticalSimple(const std::string& /*appName*/,
                                                                         const ChannelContext& /*hostProvider*/) {
  return nullptr;
}

std::shared_ptr<AggSvcMpaClient> AggSvcMpaClient::CreateAggSvcMpaClient(const std::string& appName,
                                                                         const ChannelContext& hostProvider,
                                                                         const ChannelContext& snProvider) {
  if (appName.empty()) {
    QBX_LOG(qbx::loglevel::kError).subcomp(kSub).put("[%s] Cannot register a vertical without a name", "CreateAggSvcMpaClient");
    return nullptr;
  }
  const uint32_t persona = qbx::MpaClient::NodePersona();
  if (persona != 2) {
    qbx::MpaClient::Register(hostProvider, &AggSvcMpaClient::AggSvcMpaClientRxCallbackWrapper, appName, "qbx", 1,
                             9002, 30000000, 5000000, nullptr);
  }
  if (persona == 1) {
    qbx::MpaClient::RegisterSNHost(snProvider, &AggSvcMpaClient::AggSvcSNMpaClientRxCallbackWrapper, appName, "qbx",
                                   1, 9002);
  } else if (persona == 2) {
    qbx::MpaClient::RegisterSN(snProvider, &AggSvcMpaClient::AggSvcSNMpaClientRxCallbackWrapper, appName, "qbx", 1,
                               9002);
  }
  std::shared_ptr<qbx::MpaClient> host;
  std::shared_ptr<qbx::MpaClient> sn;
  if (persona == 1) sn = qbx::MpaClient::GetSNHostClient(appName);
  if (persona == 2) sn = qbx::MpaClient::GetSNClient(appName);
  if (persona != 2) host = qbx::MpaClient::GetClient(appName);
  // The channel may refuse or lose a registration; a vertical without its channel client
  // cannot work, so the set-up fails here rather than on the first message.
  if ((persona != 2 && !host) || ((persona == 1 || persona == 2) && !sn)) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSub)
        .put("[%s] No messaging channel client registered for vertical %s", "CreateAggSvcMpaClient", appName.c_str());
    return nullptr;
  }
  if (persona == 1) return std::make_shared<AggSvcMpaClient>(appName, host, sn, kModeSnHost);
  if (persona == 2) {
    sn->SetRegistrationAcked(true);  // no registration acknowledgement is awaited on a smart NIC
    return std::make_shared<AggSvcMpaClient>(appName, sn, sn, kModeSn);
  }
  return std::make_shared<AggSvcMpaClient>(appName, host, nullptr, kModeHost);
}

std::shared_ptr<AggSvcMpaClient> AggSvcMpaClient::Find(const std::string& appName) {
  std::lock_guard<std::mutex> lock(AppToAggSvcMpaClientMap().mutex);
  auto it = AppToAggSvcMpaClientMap().clients.find(appName);
  return it == AppToAggSvcMpaClientMap().clients.end() ? nullptr : it->second;
}

// ---- receive ----

void AggSvcMpaClient::AggSvcMpaClientRxCallbackWrapper(rmqClientMessage* msg) {
  if (msg == nullptr) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSub)
        .tag("errorCode:MPA10055")
        .put("[%s] NULL RMQCLIENT_Message received from MPA\n", "AggSvcMpaClientRxCallbackWrapper");
    return;
  }
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s] RMQCLIENT_Message received from MPA\n", "AggSvcMpaClientRxCallbackWrapper");
  const std::string app = msg->appType != nullptr ? msg->appType : "";
  std::lock_guard<std::mutex> lock(AppToAggSvcMpaClientMap().mutex);
  auto it = AppToAggSvcMpaClientMap().clients.find(app);
  if (it == AppToAggSvcMpaClientMap().clients.end()) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSub)
        .tag("errorCode:MPA10056")
        .put("[%s] No callback function available for app: %s\n", "AggSvcMpaClientRxCallbackWrapper", app.c_str());
    return;
  }
  // Copy and enqueue only: cheap, and takes no lock but the queue's (map mutex, then queue mutex).
  it->second->AggSvcMpaClientRxCallback(msg, false);
}

void AggSvcMpaClient::AggSvcSNMpaClientRxCallbackWrapper(rmqClientMessage* msg) {
  if (msg == nullptr) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSub)
        .tag("errorCode:MPA10055")
        .put("[%s] NULL RMQCLIENT_Message received from SN MPA\n", "AggSvcSNMpaClientRxCallbackWrapper");
    return;
  }
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s] RMQCLIENT_Message received from SN MPA\n", "AggSvcSNMpaClientRxCallbackWrapper");
  const std::string app = msg->appType != nullptr ? msg->appType : "";
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSub).put("[%s] app %s", "AggSvcSNMpaClientRxCallbackWrapper", app.c_str());
  std::shared_ptr<AggSvcMpaClient> client;
  {
    std::lock_guard<std::mutex> lock(AppToAggSvcMpaClientMap().mutex);
    auto it = AppToAggSvcMpaClientMap().clients.find(app);
    if (it != AppToAggSvcMpaClientMap().clients.end()) client = it->second;
  }
  if (!client) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSub)
        .tag("errorCode:MPA10056")
        .put("[%s] No callback function available for app: %s\n", "AggSvcSNMpaClientRxCallbackWrapper", app.c_str());
    return;
  }
  // The smart-NIC hand-over runs the aggregation client's code: not under the map mutex.
  client->AggSvcMpaClientRxCallback(msg, true);
}

AggSvcMpaClient::MsgPtr AggSvcMpaClient::CopyMessage(const rmqClientMessage* msg, bson_t* headers) {
  auto* raw = static_cast<rmqClientMessage*>(std::calloc(1, sizeof(rmqClientMessage)));
  if (raw == nullptr) {
    qbx::BsonHeaders::Destroy(headers);
    return nullptr;
  }
  MsgPtr copy(raw, &FreeMpaMsg);
  copy->headers = headers;
  copy->messageType = msg->messageType;
  // An empty payload is a valid request (every field at its default, as an overwrite pull
  // always is): it travels on as a zero-length buffer, not as no buffer at all.
  const size_t payloadLen = msg->payloadLen > 0 ? static_cast<size_t>(msg->payloadLen) : 0;
  copy->payload = static_cast<uint8_t*>(std::malloc(payloadLen > 0 ? payloadLen : 1));
  if (copy->payload == nullptr) return nullptr;
  if (payloadLen > 0) std::memcpy(copy->payload, msg->payload, payloadLen);
  copy->appType = DupString(msg->appType);
  copy->appId = DupString(msg->appId);
  copy->routingKey = DupString(msg->routingKey);
  copy->contentType = DupString(msg->contentType);
  copy->cookieId = msg->cookieId;
  copy->mpMajorVersion = msg->mpMajorVersion;
  copy->mpMinorVersion = msg->mpMinorVersion;
  copy->payloadLen = msg->payloadLen > 0 ? msg->payloadLen : 0;
  return copy;
}

void AggSvcMpaClient::AggSvcMpaClientRxCallback(rmqClientMessage* msg, bool fromSmartNic) {
  const char* app = _appName.c_str();
  if (msg == nullptr) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSub)
        .tag("errorCode:MPA10055")
        .put("[%s][%s] Received NULL message from MPA", "AggSvcMpaClientRxCallback", app);
    return;
  }
  // Lengths from outside are checked before anything is read or copied.
  if (msg->payloadLen > kMaxPayloadLen || (msg->payloadLen > 0 && msg->payload == nullptr)) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSub)
        .put("[%s][%s] Invalid payload (length %lld), dropping msg", "AggSvcMpaClientRxCallback", app,
             static_cast<long long>(msg->payloadLen));
    return;
  }
  std::string typeId, correlationId, replyTo;
  bson_t* headers = nullptr;
  if (msg->headers != nullptr) {
    headers = qbx::BsonHeaders::New();
    if (!GetAmqpHeaders(msg, headers, typeId, correlationId, replyTo, false)) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSub)
          .put("[%s][%s] Malformed header block (%u bytes), dropping msg", "AggSvcMpaClientRxCallback", app,
               msg->headersLen);
      qbx::BsonHeaders::Destroy(headers);
      return;
    }
    QBX_LOG(qbx::loglevel::kDebug)
        .subcomp(kSub)
        .put("In %s, typeId:%s, correlationId%s, relyTo:%s", "AggSvcMpaClientRxCallback", typeId.c_str(),
             correlationId.c_str(), replyTo.c_str());
  }
  if (fromSmartNic && _clientMode == kModeSnHost &&
      (msg->messageType == RMQ_CLIENT_REGISTRATION_ACK || msg->messageType == RMQ_CLIENT_CLOSE)) {
    // The smart-NIC registration's own notices are the channel's business, not replies to
    // a fan-out: they only tell whether the smart NICs can be reached.
    qbx::BsonHeaders::Destroy(headers);
    std::shared_ptr<qbx::MpaClient> sn;
    {
      std::lock_guard<std::mutex> lock(_clientsMutex);
      sn = _snMpaClient;
    }
    const bool ack = msg->messageType == RMQ_CLIENT_REGISTRATION_ACK;
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp(kSub)
        .put("[%s][%s] Smart-NIC registration %s", "AggSvcMpaClientRxCallback", app, ack ? "acknowledged" : "closed");
    if (sn) sn->SetRegistrationAcked(ack);
    return;
  }
  // On a smart NIC, the smart-NIC registration carries the host's requests: they are queued
  // and answered like any request (below), not handed to the reply path.
  if (fromSmartNic && _clientMode != kModeSn) {
    qbx::BsonHeaders::Destroy(headers);
    std::shared_ptr<AggServiceClient> client =
        AcquireAggServiceClient(_clientsMutex, _aggServiceClient, "AggSvcMpaClientRxCallback", app);
    if (!client) return;
    try {
      client->HandleSnReply(msg, _appName, typeId, correlationId);
    } catch (const std::exception& e) {
      QBX_LOG(qbx::loglevel::kWarning).subcomp(kSub).put("[%s] Exception while HandleSnReply for app [%s]: %s", "AggSvcMpaClientRxCallback", app, e.what());
    }
    return;
  }
  // A request dropped here would keep its caller waiting: its call is ended now.
  auto refuseDropped = [&] {
    if (correlationId.empty() || msg->messageType == RMQ_CLIENT_RPC_RESPONSE) return;
    std::shared_ptr<qbx::MpaClient> mpa;
    {
      std::lock_guard<std::mutex> lock(_clientsMutex);
      mpa = fromSmartNic ? _snMpaClient : _mpaClient;
    }
    if (mpa) mpa->RefuseRequest(correlationId);
  };
  MsgPtr copy = CopyMessage(msg, headers);
  if (!copy) {
    QBX_LOG(qbx::loglevel::kError).subcomp(kSub).tag("errorCode:MPA10058").put("[%s][%s] Unable to enqueue msg, dropping it", "AggSvcMpaClientRxCallback", app);
    refuseDropped();
    return;
  }
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s][%s] Callback enqueueing msg", "AggSvcMpaClientRxCallback", app);
  if (_msgFromMpaQ->enqueue(copy)) {
    QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s][%s] Successfully enqueued msg", "AggSvcMpaClientRxCallback", app);
  } else {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSub)
        .tag("errorCode:MPA10058")
        .put("[%s][%s] Unable to enqueue msg, dropping it", "AggSvcMpaClientRxCallback", app);
    refuseDropped();
  }
}

// ---- dequeue thread ----

bool AggSvcMpaClient::StartRxThread() {
  _rxThreadRunning = true;
  {
    std::lock_guard<std::mutex> lock(_rxMutex);
    _rxThreadState = 0;
    _stopping = false;
  }
  _msgFromMpaQ->Reopen();
  if (_rxThread.joinable()) _rxThread.detach();
  auto self = shared_from_this();
  try {
    _rxThread = std::thread([self] { self->DequeueRxCallbackMsg(); });
  } catch (const std::system_error& e) {
    _rxThreadRunning = false;
    return false;
  }
  return WaitForStartCompletion(10);
}

bool AggSvcMpaClient::WaitForStartCompletion(int seconds) {
  std::unique_lock<std::mutex> lock(_rxMutex);
  if (_rxThreadState == 2) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  _startCond.wait_until(lock, deadline, [&] { return _rxThreadState != 0; });
  if (_rxThreadState == 1) return true;
  QBX_LOG(qbx::loglevel::kError)
      .subcomp(kSub)
      .tag("errorCode:MPA10063")
      .put("[%s] [%s] Failed to start DequeueRxCallbackMsg thread. _rxThreadState: [%d]", "WaitForStartCompletion",
           _appName.c_str(), _rxThreadState);
  return false;
}

bool AggSvcMpaClient::SignalStartCompletion() {
  {
    std::lock_guard<std::mutex> lock(_rxMutex);
    _rxThreadState = 1;
  }
  _startCond.notify_one();
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSub).put("[%s] Signaled RxThread start completion", "SignalStartCompletion");
  return true;
}

bool AggSvcMpaClient::SignalRxThreadTermination() {
  {
    std::lock_guard<std::mutex> lock(_rxMutex);
    _rxThreadState = 2;
  }
  _termCond.notify_all();
  _startCond.notify_all();
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSub).put("[%s] Signaled RxThread termination", "SignalRxThreadTermination");
  return true;
}

uint32_t AggSvcMpaClient::RxThreadState() {
  std::lock_guard<std::mutex> lock(_rxMutex);
  return _rxThreadState;
}

bool AggSvcMpaClient::IsRxThreadTerminated() { return RxThreadState() == 2; }

bool AggSvcMpaClient::WaitForRxThreadEndForTest(int seconds) {
  std::unique_lock<std::mutex> lock(_rxMutex);
  return _termCond.wait_for(lock, std::chrono::seconds(seconds), [&] { return _rxThreadState == 2; });
}

bool AggSvcMpaClient::StopRxThread(int seconds) {
  const auto started = std::chrono::steady_clock::now();
  _rxThreadRunning = false;
  {
    std::lock_guard<std::mutex> lock(_rxMutex);
    _stopping = true;
  }
  _stopCond.notify_all();
  _msgFromMpaQ->Close();  // wakes a dequeue blocked on the empty queue
  if (!_rxThread.joinable()) return true;
  if (_rxThread.get_id() == std::this_thread::get_id()) {
    // Stopped from its own request (the aggregation client was dropped there): it ends
    // when this request returns.
    _rxThread.detach();
    return true;
  }
  {
    std::unique_lock<std::mutex> lock(_rxMutex);
    const auto deadline = started + std::chrono::seconds(seconds);
    if (!_termCond.wait_until(lock, deadline, [&] { return _rxThreadState == 2; })) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSub)
          .tag("errorCode:MPA10061")
          .put("[%s] Timeout waiting for dequeue thread to end. _rxThreadState: [%d]", _appName.c_str(), _rxThreadState);
      return false;
    }
  }
  // State 2 is the thread's last act before it returns, so the join is immediate.
  _rxThread.join();
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSub).put("[%s] Successfully stopped dequeue thread", _appName.c_str());
  return IsRxThreadTerminated();
}

void AggSvcMpaClient::DequeueRxCallbackMsg() {
  const char* app = _appName.c_str();
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSub).put("[%s][%s] Started DequeueRxCallbackMsg thread", "DequeueRxCallbackMsg", app);
  SignalStartCompletion();
  while (_rxThreadRunning) {
    std::optional<MsgPtr> next = _msgFromMpaQ->dequeue();
    if (!next) break;  // closed: stop requested
    if (!_rxThreadRunning) break;
    if (qbx::Logger::Enabled(qbx::loglevel::kDebug)) {
      QBX_LOG(qbx::loglevel::kDebug)
          .subcomp(kSub)
          .put("[%s][%s] Dequeued msg from _msgFromMpaQ. Total msgs in queue: %zd", "DequeueRxCallbackMsg", app,
               static_cast<ssize_t>(_msgFromMpaQ->size()));
    }
    if (!HandleDequeued(*next)) break;
  }
  bool stopped;
  {
    std::lock_guard<std::mutex> lock(_rxMutex);
    stopped = _stopping;
  }
  if (stopped) {
    QBX_LOG(qbx::loglevel::kWarning).subcomp(kSub).put("[%s][%s] DequeueRxCallbackMsg thread interrupted", "DequeueRxCallbackMsg", app);
    _rxThreadRunning = false;
  }
  SignalRxThreadTermination();
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSub).put("[%s][%s] DequeueRxCallbackMsg thread exiting", "DequeueRxCallbackMsg", app);
}

bool AggSvcMpaClient::HandleDequeued(const MsgPtr& msg) {
  const char* app = _appName.c_str();
  try {
    if (_clientMode == kModeSn) {
      if (!ProcessRxCallbackMsgSN(msg)) {
        QBX_LOG(qbx::loglevel::kWarning).subcomp(kSub).put("[%s] ProcessRxCallbackMsgSN failed for app [%s]", "DequeueRxCallbackMsg", app);
      }
      return true;
    }
    std::shared_ptr<AggServiceClient> client =
        AcquireAggServiceClient(_clientsMutex, _aggServiceClient, "DequeueRxCallbackMsg", app);
    if (!client) {
      _rxThreadRunning = false;
      return false;  // the caller still signals the end
    }
    client->Lock();
    UnlockGuard unlock{client.get()};
    if (!ProcessRxCallbackMsg(msg)) {
      QBX_LOG(qbx::loglevel::kWarning).subcomp(kSub).put("[%s] ProcessRxCallbackMsg failed for app [%s]", "DequeueRxCallbackMsg", app);
    }
  } catch (const std::exception& e) {
    QBX_LOG(qbx::loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] Exception while ProcessRxCallbackMsg for app [%s]: %s", "DequeueRxCallbackMsg", app, e.what());
  } catch (...) {
    QBX_LOG(qbx::loglevel::kWarning).subcomp(kSub).put("[%s] Exception while ProcessRxCallbackMsg for app [%s]", "DequeueRxCallbackMsg", app);
  }
  return true;
}

size_t AggSvcMpaClient::DrainRxQueueForTest() {
  size_t handled = 0;
  while (_msgFromMpaQ->size() > 0) {
    std::optional<MsgPtr> next = _msgFromMpaQ->dequeue();
    if (!next) break;
    ++handled;
    if (!HandleDequeued(*next)) break;
  }
  return handled;
}

bool AggSvcMpaClient::ProcessRxCallbackMsg(const MsgPtr& msg) {
  std::shared_ptr<qbx::MpaClient> client;
  {
    std::lock_guard<std::mutex> lock(_clientsMutex);
    client = _mpaClient;
  }
  return ProcessRxCallbackMsgOn(msg, client, false);
}

bool AggSvcMpaClient::ProcessRxCallbackMsgSN(const MsgPtr& msg) {
  std::shared_ptr<qbx::MpaClient> client;
  {
    std::lock_guard<std::mutex> lock(_clientsMutex);
    client = _snMpaClient;
  }
  return ProcessRxCallbackMsgOn(msg, client, true);
}

bool AggSvcMpaClient::ProcessRxCallbackMsgOn(const MsgPtr& msg, const std::shared_ptr<qbx::MpaClient>& mpa, bool sn) {
  const char* func = sn ? "ProcessRxCallbackMsgSN" : "ProcessRxCallbackMsg";
  const char* app = _appName.c_str();
  if (!msg) {
    QBX_LOG(qbx::loglevel::kError).subcomp(kSub).tag("errorCode:MPA10055").put("[%s] Received NULL message from MPA\n", func);
    return false;
  }
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s][%s] Invoked process msg cb \n", func, app);
  std::shared_ptr<AggServiceClient> client = AcquireAggServiceClient(_clientsMutex, _aggServiceClient, func, app);
  if (!client) return false;
  if (!mpa) {
    // Closed meanwhile: the channel client is gone, nothing can be answered.
    QBX_LOG(qbx::loglevel::kWarning).subcomp(kSub).put("[%s][%s] No MpaClient, dropping msg", func, app);
    return false;
  }
  if (qbx::Logger::Enabled(qbx::loglevel::kDebug)) {
    std::string typeId, correlationId, replyTo;
    GetAmqpHeaders(msg.get(), nullptr, typeId, correlationId, replyTo, true);
    QBX_LOG(qbx::loglevel::kDebug)
        .subcomp(kSub)
        .put("In%s, typeId: %s, CorrelationId:%s, replyTo:%s msg->messageType:%d appname %s", func, typeId.c_str(),
             correlationId.c_str(), replyTo.c_str(), msg->messageType, app);
    DumpMpaMsg(msg.get());
  }
  switch (msg->messageType) {
    case RMQ_CLIENT_CLOSE:
      QBX_LOG(qbx::loglevel::kInfo)
          .subcomp(kSub)
          .put("[%s][%s] Got RMQ_CLIENT_CLOSE msg for cookieId %d\n", func, app, msg->cookieId);
      HandleCloseMsgOn(mpa, msg->cookieId, sn ? "HandleCloseMsgSN" : "HandleCloseMsg");
      QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s] Completed handling close msg", func);
      break;
    case RMQ_CLIENT_REGISTRATION_ACK: {
      const int32_t current = mpa->GetCookieId();
      if (msg->cookieId == current) {
        mpa->CancelReconnectTimer();
        QBX_LOG(qbx::loglevel::kInfo)
            .subcomp(kSub)
            .put("[%s] Received REGISTRATION_ACK for cookieId %d, MP major version %d, MP minor version %d, can start "
                 "sending messages\n",
                 app, msg->cookieId, msg->mpMajorVersion, msg->mpMinorVersion);
        mpa->SetRegistrationAcked(true);
        client->SetMPVersion(msg->mpMajorVersion, msg->mpMinorVersion);
      } else {
        QBX_LOG(qbx::loglevel::kWarning)
            .subcomp(kSub)
            .put("[%s] Received REGISTRATION_ACK with cookieId %d while current cookieId is %d, ignoring\n", app,
                 msg->cookieId, current);
      }
      break;
    }
    case 3: case 8: case 9: case RMQ_CLIENT_RPC_RESPONSE: case 13: {
      if (!mpa->IsRegistrationAcked()) {
        QBX_LOG(qbx::loglevel::kWarning)
            .subcomp(kSub)
            .put("[%s] Waiting for REGISTRATION_ACK for cookieId %d, ignoring received message of type: %d\n", app,
                 mpa->GetCookieId(), msg->messageType);
        // A request dropped here would keep its caller waiting: end its call now.
        std::string typeId, correlationId, replyTo;
        helper(msg.get(), typeId, correlationId, replyTo);
        if (msg->messageType != RMQ_CLIENT_RPC_RESPONSE && !correlationId.empty()) {
          mpa->RefuseRequest(correlationId);
        }
        return false;
      }
      std::string typeId, correlationId, replyTo;
      helper(msg.get(), typeId, correlationId, replyTo);
      QBX_LOG(qbx::loglevel::kDebug)
          .subcomp(kSub)
          .put("In %s typeId: %s, CorrelationId:%s, replyTo:%s", func, typeId.c_str(), correlationId.c_str(),
               replyTo.c_str());
      MsgMetadata metadata(typeId, correlationId, replyTo);
      const int rc = client->ProcessReceivedMessage(reinterpret_cast<const char*>(msg->payload),
                                                    static_cast<int32_t>(msg->payloadLen), metadata);
      if (rc < 0) {
        QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s][%s] Process message failed with error: %d\n", func, app, rc);
        // The caller waits for an answer that will not come: tell it now.
        if (mpa->RefuseRequest(correlationId)) {
          QBX_LOG(qbx::loglevel::kInfo)
              .subcomp(kSub)
              .put("[%s][%s] Refused request of type %s, correlationId %s (error %d)\n", func, app, typeId.c_str(),
                   correlationId.c_str(), rc);
        }
        return false;
      }
      break;
    }
    default:
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSub)
          .tag("errorCode:MPA10006")
          .put("Unrecognized messageType [%d] from MPA\n", msg->messageType);
      return false;
  }
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put(sn ? "[%s][%s] End of ProcessRxCallbackMsgSN\n" : "[%s][%s] End of ProcessRxCallbackMsg\n", func, app);
  return true;
}

void AggSvcMpaClient::HandleCloseMsg(int32_t cookieId) {
  std::shared_ptr<qbx::MpaClient> client;
  {
    std::lock_guard<std::mutex> lock(_clientsMutex);
    client = _mpaClient;
  }
  if (client) HandleCloseMsgOn(client, cookieId, "HandleCloseMsg");
}

void AggSvcMpaClient::HandleCloseMsgSN(int32_t cookieId) {
  std::shared_ptr<qbx::MpaClient> client;
  {
    std::lock_guard<std::mutex> lock(_clientsMutex);
    client = _snMpaClient;
  }
  if (client) HandleCloseMsgOn(client, cookieId, "HandleCloseMsgSN");
}

void AggSvcMpaClient::HandleCloseMsgOn(const std::shared_ptr<qbx::MpaClient>& client, int32_t cookieId,
                                       const char* func) {
  const int32_t current = client->GetCookieId();
  if (cookieId != current) {
    QBX_LOG(qbx::loglevel::kWarning)
        .subcomp(kSub)
        .put("[%s] Message's cookieId %d is not match for client's cookieId %d, ignored", func, cookieId, current);
    return;
  }
  client->CancelReconnectTimer();
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s] Closing client with cookieId %d\n", func, cookieId);
  const int32_t state = client->GetConnState();
  if (state == qbx::MpaClient::STATE_CONNECTED) {
    client->SetConnState(qbx::MpaClient::STATE_INIT);
    QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("Changed connection state to STATE_INIT\n");
  } else {
    QBX_LOG(qbx::loglevel::kWarning).subcomp(kSub).put("Got CLOSE Message in state %d\n", state);
  }
  client->SetRegistrationAcked(false);
  client->SetCookieId(-1);
  // Give the channel a moment before reconnecting; a stop request cuts the wait short.
  {
    std::unique_lock<std::mutex> lock(_rxMutex);
    if (_stopCond.wait_for(lock, std::chrono::milliseconds(g_closeReconnectDelayMs.load()), [&] { return _stopping; })) {
      return;
    }
  }
  client->ConnectToMpa();
}

// ---- headers ----

bool AggSvcMpaClient::GetAmqpHeaders(const rmqClientMessage* msg, bson_t* out, std::string& typeId,
                                     std::string& correlationId, std::string& replyTo, bool headersAreObject) {
  bool ok = true;
  if (msg != nullptr && msg->headers != nullptr) {
    QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s] Iterating headers ...\n", "GetAmqpHeaders");
    CallIds ids;
    auto visit = [&](const qbx::BsonHeaders::Element& e) {
      if (e.type == BSON_TYPE_UTF8) {
        const std::string key(e.key);
        const std::string value(e.str);
        QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("BSON_STRING key:[%s] value:[%s]\n", key.c_str(), value.c_str());
        if (out != nullptr) qbx::BsonHeaders::AppendString(out, e.key, e.str);
        ids.Take(e);
      } else if (e.type == BSON_TYPE_INT64) {
        const std::string key(e.key);
        QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("BSON_LONG key:[%s] value:[%ld]\n", key.c_str(), static_cast<long>(e.num));
        if (out != nullptr) qbx::BsonHeaders::AppendInt64(out, e.key, e.num);
      } else {
        QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("BSON Type [%d]\n", e.type);
      }
    };
    ok = headersAreObject ? qbx::BsonHeaders::ForEach(static_cast<const bson_t*>(msg->headers), visit)
                          : qbx::BsonHeaders::ForEachRaw(msg->headers, msg->headersLen, visit);
    ids.Into(typeId, correlationId, replyTo);
  }
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s] Iterating headers done\n", "GetAmqpHeaders");
  return ok;
}

void AggSvcMpaClient::helper(const rmqClientMessage* msg, std::string& typeId, std::string& correlationId,
                             std::string& replyTo) {
  if (msg == nullptr || msg->headers == nullptr) return;
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s] Iterating headers ...\n", "helper");
  CallIds ids;
  qbx::BsonHeaders::ForEach(static_cast<const bson_t*>(msg->headers),
                            [&](const qbx::BsonHeaders::Element& e) { ids.Take(e); });
  ids.Into(typeId, correlationId, replyTo);
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s] Iterating headers done\n", "helper");
}

void AggSvcMpaClient::DumpMpaMsg(const rmqClientMessage* msg) {
  if (msg == nullptr) return;
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSub)
      .put("Received message of type [%d] from MPA for cookieId %d\n", msg->messageType, msg->cookieId);
  if (msg->appType != nullptr) {
    QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("Got Message for App Name %s\n", _appName.c_str());
  }
  if (msg->routingKey != nullptr) {
    QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("Routing Key %s\n", msg->routingKey);
  }
  if (msg->contentType != nullptr) {
    QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("Content Type %s\n", msg->contentType);
  }
  if (msg->payloadLen != 0) {
    QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("Payload Len %ld\n", static_cast<long>(msg->payloadLen));
  }
  if (msg->payload != nullptr && msg->payloadLen > 0) HexDump("Payload", msg->payload, static_cast<size_t>(msg->payloadLen));
}

void AggSvcMpaClient::HexDump(const char* label, const uint8_t* bytes, size_t length) {
  if (bytes == nullptr) return;
  for (size_t off = 0; off < length; off += 16) {
    const size_t n = length - off < 16 ? length - off : 16;
    const std::string line = qbx::HexDumpLine(label, bytes + off, n);
    const std::string hex = line.substr(0, 48);
    const std::string text = line.substr(49);
    QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("%s: %s %s\n", label, hex.c_str(), text.c_str());
  }
}

// ---- send ----

bool AggSvcMpaClient::SendMsgToMpaWrapper(const std::string& payload, const std::string& typeId,
                                          const std::string& correlationId, const std::string& replyTo) {
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s] Sending message to MPA\n", "SendMsgToMpaWrapper");
  if (payload.size() > static_cast<size_t>(INT32_MAX)) {
    QBX_LOG(qbx::loglevel::kError).subcomp(kSub).tag("errorCode:MPA10067").put("[%s] failed to send message to mpa\n", "SendMsgToMpaWrapper");
    return false;
  }
  return SendMsg(reinterpret_cast<const uint8_t*>(payload.data()), static_cast<int32_t>(payload.size()), typeId,
                 correlationId, replyTo);
}

MpaMessageSender::SendResult AggSvcMpaClient::SendAnswer(const std::string& payload, const std::string& typeId,
                                                         const std::string& correlationId,
                                                         const std::string& replyTo) {
  if (!correlationId.empty()) {
    std::shared_ptr<qbx::MpaClient> sender;
    {
      std::lock_guard<std::mutex> lock(_clientsMutex);
      sender = _clientMode == kModeSn ? _snMpaClient : _mpaClient;
    }
    // Asked before the record is built: for the further answers of a large pull this is
    // the whole cost, and the channel's own records (one per answer) do not arise.
    if (sender && sender->IsRequestAnswered(correlationId)) {
      QBX_LOG(qbx::loglevel::kDebug)
          .subcomp(kSub)
          .put("[%s] correlationId %s already answered, reply of type %s not sent\n", "SendAnswer",
               correlationId.c_str(), typeId.c_str());
      return SendResult::kAlreadyAnswered;
    }
  }
  return SendMsgToMpaWrapper(payload, typeId, correlationId, replyTo) ? SendResult::kSent : SendResult::kFailed;
}

void AggSvcMpaClient::SetAggServiceClient(const std::weak_ptr<AggServiceClient>& client) {
  std::lock_guard<std::mutex> lock(_clientsMutex);
  _aggServiceClient = client;
}

bool AggSvcMpaClient::SendMsg(const uint8_t* bytes, int32_t length, const std::string& typeId,
                              const std::string& correlationId, const std::string& replyTo) {
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSub)
      .put("[%s] Sending message to MPA (payloadType:%s, msgLen:%d)\n", "SendMsg", typeId.c_str(), length);
  std::shared_ptr<qbx::MpaClient> host;
  std::shared_ptr<qbx::MpaClient> sn;
  {
    std::lock_guard<std::mutex> lock(_clientsMutex);
    host = _mpaClient;
    sn = _snMpaClient;
  }
  std::shared_ptr<qbx::MpaClient> sender = _clientMode == kModeSn ? sn : host;
  // An answer that cannot be sent still ends its call, with an error and at once: its
  // caller would otherwise wait until the stale-call purge.
  auto refuseCall = [&sender, &correlationId] {
    if (sender && !correlationId.empty()) sender->RefuseRequest(correlationId);
  };
  if (_clientMode != kModeSn) {
    if (!host || (host->GetConnState() == qbx::MpaClient::STATE_INIT && !host->IsRegistrationAcked())) {
      QBX_LOG(qbx::loglevel::kError).subcomp(kSub).tag("errorCode:MPA10066").put("[%s] MPA is not connected, do nothing\n", "SendMsg");
      refuseCall();
      return false;
    }
  } else if (!sn || !sn->IsRegistrationAcked()) {
    QBX_LOG(qbx::loglevel::kError).subcomp(kSub).tag("errorCode:MPA10066").put("[%s] SN MPA is not connected, do nothing\n", "SendMsg");
    refuseCall();
    return false;
  }
  if (length < 0 || (length > 0 && bytes == nullptr)) {
    QBX_LOG(qbx::loglevel::kError).subcomp(kSub).tag("errorCode:MPA10067").put("[%s] failed to send message to mpa\n", "SendMsg");
    refuseCall();
    return false;
  }
  rmqClientMessage record;
  std::memset(&record, 0, sizeof(record));
  record.cookieId = sender->GetCookieId();
  record.payloadLen = length;
  std::string payloadCopy(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
  record.payload = reinterpret_cast<uint8_t*>(payloadCopy.data());
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s] Sending msg to mpa with payload of length %ld\n", "SendMsg", static_cast<long>(length));
  bson_t* headers = qbx::BsonHeaders::New();
  qbx::BsonHeaders::AppendString(headers, "__TypeId__", typeId);
  if (!correlationId.empty()) {
    qbx::BsonHeaders::AppendString(headers, "amqp_correlationId", correlationId);
    QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s] Appended correlation id: %s\n", "SendMsg", correlationId.c_str());
  }
  record.headers = headers;
  std::string routingKey = replyTo;
  std::string contentType = "application/protobuf";
  std::string appType = _appName;
  record.routingKey = routingKey.data();
  record.contentType = contentType.data();
  record.appType = appType.data();
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s] Appended routing key: %s\n", "SendMsg", replyTo.c_str());
  const bool reply = !correlationId.empty();
  record.messageType = reply ? RMQ_CLIENT_RPC_RESPONSE : RMQ_ZLM_PAYLOAD;
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSub)
      .put("[%s] MsgType RPC/PUBLISH: %s\n", "SendMsg", reply ? "RMQ_CLIENT_RPC_RESPONSE" : "RMQ_ZLM_PAYLOAD");
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s] Invoking rmqClient_SendToZLM\n", "SendMsg");
  // On a smart NIC the answer goes back to the host over the smart-NIC registration (a
  // reply completes the host's call by its correlation id); the management-plane road
  // does not exist there.
  const int32_t rc = _clientMode == kModeSn ? sender->SendMsgToSN(&record, std::string()) : sender->SendMsg(&record);
  qbx::BsonHeaders::Destroy(headers);
  if (rc != 0) {
    QBX_LOG(qbx::loglevel::kError).subcomp(kSub).tag("errorCode:MPA10067").put("[%s] failed to send message to mpa\n", "SendMsg");
    refuseCall();
    return false;
  }
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("[%s] Sent message to MPA for app (%s)", "SendMsg", _appName.c_str());
  return true;
}

int AggSvcMpaClient::SendMsgToSN(const SnRequest& request, const std::string& snUuid) {
  const char* app = _appName.c_str();
  std::shared_ptr<qbx::MpaClient> sn;
  {
    std::lock_guard<std::mutex> lock(_clientsMutex);
    sn = _snMpaClient;
  }
  if (_clientMode != kModeSnHost || !sn) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSub)
        .tag("errorCode:MPA10066")
        .put("[%s][%s] No smart-NIC client, request for SN %s not sent", "SendMsgToSN", app, snUuid.c_str());
    return -1;
  }
  if (request.body.size() > static_cast<size_t>(INT32_MAX)) {
    QBX_LOG(qbx::loglevel::kError).subcomp(kSub).tag("errorCode:MPA10067").put("[%s] failed to send message to SN %s\n", "SendMsgToSN", snUuid.c_str());
    return -1;
  }
  rmqClientMessage record;
  std::memset(&record, 0, sizeof(record));
  record.messageType = SnRequest::kMessageType;
  record.cookieId = sn->GetCookieId();
  std::string body = request.body;
  record.payload = reinterpret_cast<uint8_t*>(body.data());
  record.payloadLen = static_cast<int64_t>(body.size());
  std::string appType = request.appName.empty() ? _appName : request.appName;
  std::string contentType = SnRequest::kContentType;
  record.appType = appType.data();
  record.contentType = contentType.data();
  bson_t* headers = qbx::BsonHeaders::New();
  qbx::BsonHeaders::AppendString(headers, "__TypeId__", request.typeId);
  qbx::BsonHeaders::AppendString(headers, "amqp_correlationId", request.correlationId);
  record.headers = headers;
  const int32_t rc = sn->SendMsgToSN(&record, snUuid);
  qbx::BsonHeaders::Destroy(headers);
  QBX_LOG(qbx::loglevel::kDebug)
      .subcomp(kSub)
      .put("[%s][%s] Request %s (%s) to SN %s: %d", "SendMsgToSN", app, request.typeId.c_str(),
           request.correlationId.c_str(), snUuid.c_str(), rc);
  return rc;
}

int32_t AggSvcMpaClient::SendToMpa(rmqClientMessage* msg) {
  std::shared_ptr<qbx::MpaClient> client;
  {
    std::lock_guard<std::mutex> lock(_clientsMutex);
    client = _mpaClient;
  }
  return client ? client->SendMsg(msg) : -1;
}

bool AggSvcMpaClient::SendToQBXWrapper(rmqClientMessage* msg) {
  const int32_t rc = rmqClient_SendToZLM(msg);
  if (rc == 0) return true;
  QBX_LOG(qbx::loglevel::kError)
      .subcomp(kSub)
      .tag("errorCode:MPA10054")
      .put("[%s][%s] rmqClient_SendToZLM failed with err: %d", "SendToQBXWrapper", _appName.c_str(), rc);
  return false;
}

// ---- open and close ----

bool AggSvcMpaClient::Open() {
  QBX_LOG(qbx::loglevel::kDebug).subcomp(kSub).put("AggSvcMpaClient Open for vertical: %s", _appName.c_str());
  std::shared_ptr<qbx::MpaClient> host;
  std::shared_ptr<qbx::MpaClient> sn;
  {
    std::lock_guard<std::mutex> lock(_clientsMutex);
    host = _mpaClient;
    sn = _snMpaClient;
  }
  if ((_clientMode == kModeSnHost || _clientMode == kModeHost) && host) host->Open(nullptr);
  if ((_clientMode == kModeSnHost || _clientMode == kModeSn) && sn) sn->OpenSN();
  return true;
}

void AggSvcMpaClient::Close() {
  std::shared_ptr<qbx::MpaClient> host;
  std::shared_ptr<qbx::MpaClient> sn;
  {
    std::lock_guard<std::mutex> lock(_clientsMutex);
    if (_clientMode != kModeSn) host.swap(_mpaClient);
    if (_clientMode != kModeHost) sn.swap(_snMpaClient);
    if (_clientMode == kModeSn) _mpaClient.reset();
  }
  if (host) {
    host->Close();
    RemoveAggSvcMpaClient();
    if (!host->IsQbxRpcEnabled()) rmqClient_StopNETEventLoop();
  } else if (sn && _clientMode == kModeSn) {
    // A smart NIC has no management-plane client: its dequeue thread, map entry and
    // smart-NIC registration end here, or a closed vertical could never register again.
    RemoveAggSvcMpaClient();
  }
  if (sn) {
    sn->Close();
    sn->CleanUpForStubs();
  }
}

void AggSvcMpaClient::RemoveAggSvcMpaClient() {
  QBX_LOG(qbx::loglevel::kInfo).subcomp(kSub).put("Removing AggSvcMpaClient for app: %s", _appName.c_str());
  if (!StopRxThread(30)) {
    QBX_LOG(qbx::loglevel::kError).subcomp(kSub).tag("errorCode:MPA10052").put("[%s] Failed to stop AggSvcMpaClient's RxThread", _appName.c_str());
  }
  std::shared_ptr<AggSvcMpaClient> erased;  // released after the map mutex
  {
    std::lock_guard<std::mutex> lock(AppToAggSvcMpaClientMap().mutex);
    auto it = AppToAggSvcMpaClientMap().clients.find(_appName);
    if (it == AppToAggSvcMpaClientMap().clients.end() || it->second.get() != this) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSub)
          .tag("errorCode:MPA10053")
          .put("[%s] Remove failed in AppToAggSvcMpaClientMap", _appName.c_str());
    } else {
      erased = it->second;
      AppToAggSvcMpaClientMap().clients.erase(it);
    }
  }
  // Unregister outside the map mutex: the channel's registry lock comes first in the lock order.
  qbx::MpaClient::UnRegister(_appName);
  if (_clientMode == kModeSnHost) qbx::MpaClient::UnRegisterSNHost(_appName);
  if (_clientMode == kModeSn) qbx::MpaClient::UnRegisterSN(_appName);
  _msgFromMpaQ->Clear();
}

// ---- registrar ----

std::shared_ptr<MpaMessageSender> AggSvcMpaClientRegistrar::RegisterVertical(const std::string& verticalName,
                                                                             const ChannelContext& hostProvider,
                                                                             const ChannelContext& snProvider) {
  return AggSvcMpaClient::RegisterVertical(verticalName, hostProvider, snProvider);
}

std::shared_ptr<MpaMessageSender> AggSvcMpaClientRegistrar::RegisterVerticalSimple(const std::string& verticalName,
                                                                                   const ChannelContext& hostProvider) {
  return AggSvcMpaClient::RegisterVerticalSimple(verticalName, hostProvider);
}
