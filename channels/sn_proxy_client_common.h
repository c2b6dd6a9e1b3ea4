// The process-wide link to the node's smart-NIC proxy (qbx::SNProxyClientCommon): the
// local process that carries aggregation traffic between a host and its smart NICs.
//
// Two kept connections, each on an event-loop provider of its own, both providers running
// from construction until destruction:
// - the proxy-information connection (EndPoint, "tcp://127.0.0.1:5001"): a stub of
//   SNProxyInfoService and one subscription on it, through which the proxy pushes the list
//   of peers across the host/smart-NIC boundary (the smart NICs on a host, the host on a
//   smart NIC), this node's own uuid and the product version;
// - the forwarding connection ("tcp://127.0.0.1:4999"): the smart-NIC messaging-channel
//   clients make their stubs ("qbx://<peer>") over it and run their timers on its provider.
// What happens on them is turned into notifications for the registered clients:
// CONNECT_SNPROXY when the forwarding connection comes up, UPDATE_STUB when a fresh peer
// list is known while the forwarding connection is up (an empty list too: it removes every
// peer), and connection-down with the close reason when the forwarding connection closes.
//
// Threading:
// - Callers: Init/Start/Stop on the main thread; registration, removal and the readers on
//   any messaging-channel thread.
// - provider_'s thread: proxy-information connection events, stub creation with its retry
//   and reconnect timers, the subscription's updates. forwardingProvider_'s thread:
//   forwarding connection events and the posted UPDATE_STUB callbacks.
// - stateLock_ guards the flags, the stub, the retry budget and the timers; clientsLock_
//   the three callback maps; snMapLock_ the peer map; infoMutex_ the node uuid and the
//   product version. Order: stateLock_ before clientsLock_; snMapLock_ and infoMutex_ are
//   never held with another lock of this class.
// - No notification runs with a lock of this class held: the callbacks are copied out
//   first, so a client may register, remove itself or read the client's state from inside
//   a callback.
// - Every callback handed to the platform holds a weak pointer and does nothing once the
//   client is gone.
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

#include "platform/rpc/call.h"
#include "platform/rpc/connection_params.h"
#include "platform/rpc/status.h"
#include "platform/rpc/stub.h"
#include "platform/runtime/retry_policy.h"
#include "zumbra/qbx/messaging/sn_proxy_info.grpc.pb.h"
#include "zumbra/qbx/messaging/sn_proxy_info.pb.h"
#include "zumbra/qbx/product_version.pb.h"

namespace qbx {

class AsioQbxProvider;
class ManualClock;
class Timer;

namespace rpc {
class ConnectionManager;
}

class SNProxyClientCommon : public std::enable_shared_from_this<SNProxyClientCommon> {
 public:
  using SNProxyInfoStub = rpc::Stub<zumbra::qbx::messaging::SNProxyInfoService>;

  static constexpr const char* kForwardingEndPoint = "tcp://127.0.0.1:4999";

  // Durations, budgets and the forwarding endpoint; the defaults are the daemon's. Tests
  // shorten the durations and point the forwarding connection at a stand-in's port.
  struct Options {
    std::chrono::milliseconds stubRetryDelay{1000};
    std::chrono::milliseconds reconnectDelay{5000};
    int32_t stubRetryBudget = 100;
    std::string forwardingEndPoint = kForwardingEndPoint;
    // Timers of both providers follow this clock when set.
    std::shared_ptr<ManualClock> clock;
  };

  // Initial delay 1000 ms, maximum 5000 ms, factor 2.0, unlimited attempts.
  static RetryPolicy DefaultRetryPolicy();

  // Makes the process-wide instance unless it exists; a later call changes nothing.
  static void Init(const std::string& clientId, const std::string& EndPoint);
  static void Init(const std::string& clientId, const std::string& EndPoint, const Options& options);
  // Null when no instance was made (node persona 3).
  static std::shared_ptr<SNProxyClientCommon> getInstance();
  // Drops the process-wide instance (tests); its providers stop once the last holder lets go.
  static void ResetInstanceForTest();
  // A client that is not the process-wide one (tests, tools).
  static std::shared_ptr<SNProxyClientCommon> Create(const std::string& clientId, const std::string& EndPoint,
                                                     const Options& options);

  ~SNProxyClientCommon();
  SNProxyClientCommon(const SNProxyClientCommon&) = delete;
  SNProxyClientCommon& operator=(const SNProxyClientCommon&) = delete;

  void Start();
  void Stop();

  // The forwarding connection's provider: the smart-NIC clients' stubs and timers.
  AsioQbxProvider* GetProvider();
  std::string getSNUuidStr() const;
  zumbra::qbx::ProductVersionMsg GetProductVersion() const;
  bool IsConnectedForForwarding() const;
  std::map<std::string, bool> GetSnUuidMap() const;
  bool IsStubCreationEnabled() const;
  bool IsStopped() const;
  // The peers the node expects: the host's smart NICs on persona 1, 1 on persona 2, else 0.
  int32_t NumSmartNics() const { return numSmartNics_; }

  void SetSNProxyConnectionUp(const std::string& clientName, const std::function<void()>& cb);
  void SetUpdateStubs(const std::string& clientName, const std::function<void()>& cb);
  void SetSNProxyConnectionDown(const std::string& clientName, const std::function<void(rpc::CloseReason)>& cb);
  void RemoveClient(const std::string& clientName);

  class SNProxyInfoObserver : public rpc::CallObserver<zumbra::qbx::messaging::SNProxyInfoRspMsg> {
   public:
    explicit SNProxyInfoObserver(std::weak_ptr<SNProxyClientCommon> client) : client_(std::move(client)) {}
    void Next(const zumbra::qbx::messaging::SNProxyInfoRspMsg& msg) override;
    void RemoteStatus(const rpc::Status& status) override;
    void CallStatus(const rpc::Status& status) override;

   private:
    std::weak_ptr<SNProxyClientCommon> client_;
  };

  // Handles one pushed update as the subscription does (tests of malformed updates).
  void ProcessSNProxyInfo(const zumbra::qbx::messaging::SNProxyInfoRspMsg& msg);

 private:
  SNProxyClientCommon(const std::string& clientId, const std::string& EndPoint, const Options& options);

  rpc::ConnectionParams MakeParams(bool forwarding);
  void connectAndSubscribeForSNInfo();
  void connectForForwarding();
  void GetStub();
  static void StubCreateDone(const std::weak_ptr<SNProxyClientCommon>& weak, const std::optional<SNProxyInfoStub>& stub,
                             rpc::StubCreationStatus status);
  void StubCreateDone_(const std::optional<SNProxyInfoStub>& stub, rpc::StubCreationStatus status);
  void Subscribed();
  void NotifyClients(bool updateStub, bool connectSnProxy);
  void OnConnectionUp(const rpc::ConnectionInfo& info);
  void OnConnectionClosed(const net::Endpoint& endpoint, rpc::CloseReason reason);
  void OnForwardingConnectionUp(const rpc::ConnectionInfo& info);
  void OnForwardingConnectionClosed(const net::Endpoint& endpoint, rpc::CloseReason reason);
  void ReconnectAfterDelay();

  const Options options_;
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
  bool stubCreationEnabled_ = false;
  bool stopped_ = true;
  std::optional<SNProxyInfoStub> snProxyInfoStub_;
  std::shared_ptr<Timer> retryTimer_;
  std::shared_ptr<Timer> reconnectTimer_;
  bool connectedForForwarding_ = false;
  mutable std::shared_mutex snMapLock_;
  std::map<std::string, bool> snUuidMap_;
  mutable std::mutex infoMutex_;
  std::string snUuidStr_;
  int32_t numSmartNics_ = 0;
  zumbra::qbx::ProductVersionMsg productVersion_;
  mutable std::shared_mutex clientsLock_;
  mutable std::shared_mutex stateLock_;
  int32_t stubRetriesLeft_;
};

}  // namespace qbx
