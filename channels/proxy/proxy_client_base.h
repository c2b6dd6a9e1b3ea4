// The part the two proxy-information clients (qbx::SNProxyClientCommon and
// qbx::TnProxyClientCommon) share: two kept connections on event-loop providers of their
// own, stub creation with its retry budget and reconnect timer, the registry of client
// callbacks and the notifications sent to it. Each client keeps its typed stub, its
// subscription and its own log texts; this class only words them from the client's names.
//
// Threading and locks are the clients' (see their headers): stateLock_ guards the flags,
// the retry budget and the timers; clientsLock_ the callback maps, taken after stateLock_
// wherever both are held; no callback runs with either held.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "platform/rpc/connection_params.h"
#include "platform/rpc/status.h"
#include "platform/runtime/retry_policy.h"

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
  };

  ProxyClientBase(const ProxyClientBase&) = delete;
  ProxyClientBase& operator=(const ProxyClientBase&) = delete;

  // Initial delay 1000 ms, maximum 5000 ms, factor 2.0, unlimited attempts.
  static RetryPolicy DefaultRetryPolicy();

  // The forwarding connection's provider: the messaging-channel clients' stubs and timers.
  AsioQbxProvider* GetProvider();
  bool IsConnectedForForwarding() const;
  bool IsStubCreationEnabled() const;

  void SetUpdateStubs(const std::string& clientName, const std::function<void()>& cb);
  void RemoveClient(const std::string& clientName);

 protected:
  // The providers and connection managers are made here; they are not running yet.
  ProxyClientBase(const Texts& texts, const std::string& clientId, const std::string& endPoint,
                  const std::shared_ptr<ManualClock>& clock, std::chrono::milliseconds stubRetryDelay,
                  std::chrono::milliseconds reconnectDelay, int32_t stubRetryBudget);
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
  // A failed stub creation: retries within the budget, else tears the connection down and
  // reconnects after the delay. Nothing once stopped.
  void StubCreationFailed();
  void ReconnectAfterDelay();
  // Cancels and drops both timers; the caller holds stateLock_.
  void CancelTimers();
  void NotifyClients(bool updateStub, bool connect);
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
};

}  // namespace qbx
