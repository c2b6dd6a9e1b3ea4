// The part the two proxy-information clients (qbx::SNProxyClientCommon and
// qbx::TnProxyClientCommon) share: two kept connections on event-loop providers of their
// own, stub creation with its retry budget and reconnect timer, the one subscription of the
// proxy-information service, this node's uuid and product version as the proxy pushes them,
// the registry of client callbacks and the notifications sent to it. Each client keeps its
// peer list, how it reads the pushed updates and its own log texts; this class only words
// them from the client's names.
//
// Threading and locks are the clients' (see their headers): stateLock_ guards the flags,
// the stub, the subscription, the retry budget and the timers; clientsLock_ the callback
// maps, taken after stateLock_ wherever both are held; infoMutex_ the node's uuid and
// product version, never held with another lock. No callback runs with any of them held.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "core/stub_creator.h"  // the stub factory's creation, which GetStub instantiates
#include "platform/rpc/asio_qbx_rpc_provider.h"
#include "platform/rpc/call.h"
#include "platform/rpc/connection_params.h"
#include "platform/rpc/status.h"
#include "platform/rpc/stub.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/retry_policy.h"
#include "zumbra/qbx/common/uuid.pb.h"
#include "zumbra/qbx/product_version.pb.h"

namespace qbx {

class AsioQbxProvider;
class ManualClock;
class Timer;

namespace rpc {
class ConnectionManager;
}

class ProxyClientBase {
 public:
  // The names a client's log texts are made of.
  struct Texts {
    const char* sub;            // log subcomponent
    const char* name;           // the client's class name
    const char* proxy;          // the proxy's short name
    const char* prefix;         // put before some lines of the client's own wording
    const char* subscribe;      // the name of the connect-and-subscribe step
    const char* service;        // the proxy-information service's name
    const char* notifyPrefix;   // put before every notification line
    const char* connectName;    // the connection-up notification's name
    LibraryLogLevel perClient;  // the level of the per-client notification lines
    const char* stub;           // the stub's name in the creation lines
    const char* serviceClass;   // the service's class name in the subscription lines
    const char* observer;       // the subscription observer's name
    const char* observerNotify; // put before the observer's notification line
    bool namesEndpoints;        // the forwarding and tear-down lines name their endpoints
  };

  ProxyClientBase(const ProxyClientBase&) = delete;
  ProxyClientBase& operator=(const ProxyClientBase&) = delete;

  // Initial delay 1000 ms, maximum 5000 ms, factor 2.0, unlimited attempts.
  static RetryPolicy DefaultRetryPolicy();

  // The forwarding connection's provider: the messaging-channel clients' stubs and timers.
  AsioQbxProvider* GetProvider();
  bool IsConnectedForForwarding() const;
  bool IsStubCreationEnabled() const;
  // A copy: the subscription replaces the version while readers look at it.
  zumbra::qbx::ProductVersionMsg GetProductVersion() const;

  void SetUpdateStubs(const std::string& clientName, const std::function<void()>& cb);
  void RemoveClient(const std::string& clientName);

 protected:
  // The providers and connection managers are made here; they are not running yet.
  ProxyClientBase(const Texts& texts, const std::string& clientId, const std::string& endPoint,
                  const std::string& forwardingEndPoint, const std::shared_ptr<ManualClock>& clock,
                  std::chrono::milliseconds stubRetryDelay, std::chrono::milliseconds reconnectDelay,
                  int32_t stubRetryBudget);
  virtual ~ProxyClientBase();
  // Drops the connection managers, then stops, joins and destroys both providers. A client
  // released from inside one of its own callbacks cannot join the loop that runs that
  // callback, and destroying the loop there would pull its RPC side from under the
  // callback: a thread of its own then does it once the callback has returned. Called by
  // the derived destructors.
  void ReleaseLoops();

  virtual std::weak_ptr<ProxyClientBase> WeakBase() = 0;
  // Schedules the creation of the proxy-information stub on provider_.
  virtual void GetStub() = 0;

  // Begins one stub creation for the subscription and returns its number: whatever an
  // earlier creation or subscription still delivers is stale from now on, so at most one
  // subscription feeds the client.
  uint64_t BeginSubscription();
  bool IsCurrentSubscription(uint64_t seq) const;
  // The proxy ended subscription `seq`. While the proxy-information connection is up and
  // the client runs, a new stub and subscription follow after the retry delay; otherwise
  // the next connection-up makes them.
  void SubscriptionEnded(uint64_t seq);
  // Checks that `seq` is current before a stub is kept; logs and returns false otherwise.
  bool KeepStubOf(uint64_t seq);

  void SetConnectionUp(const std::string& clientName, const std::function<void()>& cb, const char* op);
  void SetConnectionDown(const std::string& clientName, const std::function<void(rpc::CloseReason)>& cb,
                         const char* op);
  rpc::ConnectionParams MakeParams(bool forwarding);
  void connectAndSubscribe();
  void connectForForwarding();
  // Tears both connections down and cancels the timers; the caller has set stopped_.
  void TearDownConnections();
  // A failed stub creation: retries within the budget, else tears the connection down and
  // reconnects after the delay. Nothing once stopped.
  void StubCreationFailed();
  void ReconnectAfterDelay();
  // Cancels and drops both timers; the caller holds stateLock_.
  void CancelTimers();
  void NotifyClients(bool updateStub, bool connect);
  // A fresh update was taken in: stub creation is enabled and the clients are told
  // (UPDATE_STUB while the forwarding connection is up).
  void UpdateApplied();
  // The uuid under the name of its reader `getter`, logged.
  std::string NodeUuid(const char* getter) const;
  // Keeps the uuid an update of type `rspName` carries, logged as the `which` uuid.
  void SetNodeUuid(const zumbra::qbx::UuidMsg& uuid, const char* which, const char* rspName);
  void SetProductVersion(const zumbra::qbx::ProductVersionMsg& version);
  // Empties the peer list `map` (named `mapName` in the log) before a fresh one is filled in.
  void ClearPeerMap(std::map<std::string, bool>& map, const char* mapName) const;
  // The uuid text of an entry (number `i`, of type `entryName`) of a pushed peer list;
  // nothing, logged with its tag, when the entry has no id.
  template <class Entry>
  std::optional<std::string> EntryUuid(const Entry& entry, int i, const char* entryName) const {
    if (!entry.has_id()) {
      LogEntryLacks(entryName, "id");
      return std::nullopt;
    }
    return EntryUuidText(entry.id(), i);
  }
  void LogEntryLacks(const char* entryName, const char* field) const;
  std::string EntryUuidText(const zumbra::qbx::UuidMsg& id, int i) const;
  void OnConnectionUp(const rpc::ConnectionInfo& info);
  void OnConnectionClosed(const net::Endpoint& endpoint, rpc::CloseReason reason);
  void OnForwardingConnectionUp(const rpc::ConnectionInfo& info);
  void OnForwardingConnectionClosed(const net::Endpoint& endpoint, rpc::CloseReason reason);

  const Texts& texts_;
  mutable std::shared_mutex clientsLock_;  // the three callback maps; taken after stateLock_
  std::unordered_map<std::string, std::function<void(rpc::CloseReason)>> connectionDownCallbacks_;
  std::unordered_map<std::string, std::function<void()>> connectCallbacks_;
  std::unordered_map<std::string, std::function<void()>> updateStubCallbacks_;
  // Providers before their connection managers: the managers are released first.
  std::unique_ptr<AsioQbxProvider> provider_;
  std::unique_ptr<AsioQbxProvider> forwardingProvider_;
  std::unique_ptr<rpc::ConnectionManager> connectionManager_;
  std::unique_ptr<rpc::ConnectionManager> forwardingConnectionManager_;
  const std::string endPoint_;
  const std::string forwardingEndPoint_;
  const std::string clientId_;
  const std::chrono::milliseconds stubRetryDelay_;
  const std::chrono::milliseconds reconnectDelay_;
  const int32_t stubRetryBudget_;
  mutable std::shared_mutex stateLock_;
  bool stubCreationEnabled_ = false;
  bool stopped_ = true;
  bool connectedForForwarding_ = false;
  std::shared_ptr<Timer> retryTimer_;
  std::shared_ptr<Timer> reconnectTimer_;
  int32_t stubRetriesLeft_;
  bool connectedForInfo_ = false;  // the proxy-information connection is up
  uint64_t subscriptionSeq_ = 0;   // the current stub creation and its subscription
  mutable std::mutex infoMutex_;   // nodeUuid_ and productVersion_
  std::string nodeUuid_;
  zumbra::qbx::ProductVersionMsg productVersion_;
};

// A client of one proxy-information service: its stub, its one subscription and the
// observer that hands the subscription's updates to ProcessInfo.
template <class Service, class Request, class Response>
class ProxyInfoClient : public ProxyClientBase {
 public:
  using InfoStub = rpc::Stub<Service>;

  class Observer : public rpc::CallObserver<Response> {
   public:
    // `seq`: the subscription it belongs to; a later one makes it stale.
    Observer(std::weak_ptr<ProxyClientBase> client, const Texts& texts, uint64_t seq)
        : client_(std::move(client)), texts_(texts), seq_(seq) {}
    void Next(const Response& msg) override {
      auto held = client_.lock();
      if (!held) {
        QBX_LOG(loglevel::kError)
            .subcomp(texts_.sub)
            .tag("errorCode:MPA00108")
            .put("MPAClient has been destroyed already");
        return;
      }
      auto* client = static_cast<ProxyInfoClient*>(held.get());
      if (!client->IsCurrentSubscription(seq_)) return;  // a replaced subscription's late update
      client->ProcessInfo(msg);
    }
    void RemoteStatus(const rpc::Status& status) override {
      QBX_LOG(loglevel::kDebug).subcomp(texts_.sub).put("%s response debug message (%s)", texts_.name,
                                                        status.ToString().c_str());
    }
    void CallStatus(const rpc::Status& status) override {
      QBX_LOG(loglevel::kInfo)
          .subcomp(texts_.sub)
          .put("%s received status (%s)", texts_.name, status.ToString().c_str());
      if (auto held = client_.lock()) static_cast<ProxyInfoClient*>(held.get())->SubscriptionEnded(seq_);
      delete this;
    }

   private:
    std::weak_ptr<ProxyClientBase> client_;
    const Texts& texts_;
    const uint64_t seq_;
  };

 protected:
  using ProxyClientBase::ProxyClientBase;

  // One update of the current subscription, on provider_'s thread.
  virtual void ProcessInfo(const Response& msg) = 0;

  void GetStub() override {
    QBX_LOG(loglevel::kDebug).subcomp(texts_.sub).put("%s GetStub", texts_.name);
    std::weak_ptr<ProxyClientBase> weak = WeakBase();
    const uint64_t seq = BeginSubscription();
    provider_->rpc().stub_factory().template create<InfoStub>(
        clientId_, endPoint_, [weak, seq](const std::optional<InfoStub>& stub, rpc::StubCreationStatus status) {
          auto held = weak.lock();
          if (!held) return;
          auto* self = static_cast<ProxyInfoClient*>(held.get());
          QBX_LOG(loglevel::kDebug).subcomp(self->texts_.sub).put("%sIn StubCreateDone()", self->texts_.prefix);
          self->StubCreateDone_(seq, stub, status);
        });
    QBX_LOG(loglevel::kInfo)
        .subcomp(texts_.sub)
        .put("%s GetStub : Stub creation scheduled for %s", texts_.name, texts_.service);
  }

 private:
  void StubCreateDone_(uint64_t seq, const std::optional<InfoStub>& stub, rpc::StubCreationStatus status) {
    QBX_LOG(loglevel::kDebug).subcomp(texts_.sub).put("%s::StubCreateDone_", texts_.name);
    // A creation that a later one replaced neither subscribes nor retries.
    if (!KeepStubOf(seq)) return;
    if (status == rpc::StubCreationStatus::kCreated && stub) {
      QBX_LOG(loglevel::kInfo).subcomp(texts_.sub).put("%s::StubCreateDone_: Stub creation successful", texts_.name);
      QBX_LOG(loglevel::kDebug).subcomp(texts_.sub).put("Stub created for %s.", texts_.stub);
      {
        std::unique_lock<std::shared_mutex> lock(stateLock_);
        infoStub_ = stub;
      }
      Subscribed(seq);
      return;
    }
    StubCreationFailed();
  }

  void Subscribed(uint64_t seq) {
    std::optional<InfoStub> stub;
    {
      std::shared_lock<std::shared_mutex> lock(stateLock_);
      stub = infoStub_;
    }
    if (!stub) return;
    const rpc::ClientContext context(clientId_);
    const Request request;
    auto* observer = new Observer(WeakBase(), texts_, seq);
    auto call = rpc::client::AsyncCall<Request, Response>(stub->channel(), "Subscribe", context, request, observer);
    std::shared_ptr<rpc::CallHandleImpl<Request>> replaced;
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
    QBX_LOG(loglevel::kInfo).subcomp(texts_.sub).put("%s: Subscribed.", texts_.serviceClass);
  }

  std::optional<InfoStub> infoStub_;  // under stateLock_
  // The current subscription's call; cancelled when a new one replaces it (under stateLock_).
  std::shared_ptr<rpc::CallHandleImpl<Request>> subscription_;
};

}  // namespace qbx
