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
// - stateLock_ (in ProxyClientBase) guards the flags, the stub, the retry budget and the
//   timers, its clientsLock_ the callback maps, its infoMutex_ the node uuid and the product
//   version; snMapLock_ the peer map. Order: stateLock_ before clientsLock_; snMapLock_ and
//   infoMutex_ are never held with another lock of this class.
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
#include <shared_mutex>
#include <string>

#include "channels/proxy/proxy_client_base.h"
#include "platform/rpc/status.h"
#include "zumbra/qbx/messaging/sn_proxy_info.grpc.pb.h"
#include "zumbra/qbx/messaging/sn_proxy_info.pb.h"

namespace qbx {

class SNProxyClientCommon
    : public ProxyInfoClient<zumbra::qbx::messaging::SNProxyInfoService, zumbra::qbx::messaging::SNProxyInfoReqMsg,
                             zumbra::qbx::messaging::SNProxyInfoRspMsg>,
      public std::enable_shared_from_this<SNProxyClientCommon> {
 public:
  using SNProxyInfoStub = InfoStub;
  using SNProxyInfoObserver = Observer;

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

  ~SNProxyClientCommon() override;

  void Start();
  void Stop();

  std::string getSNUuidStr() const;
  std::map<std::string, bool> GetSnUuidMap() const;
  bool IsStopped() const;
  // The peers the node expects: the host's smart NICs on persona 1, 1 on persona 2, else 0.
  int32_t NumSmartNics() const { return numSmartNics_; }

  void SetSNProxyConnectionUp(const std::string& clientName, const std::function<void()>& cb);
  void SetSNProxyConnectionDown(const std::string& clientName, const std::function<void(rpc::CloseReason)>& cb);

  // Handles one pushed update as the subscription does (tests of malformed updates).
  void ProcessSNProxyInfo(const zumbra::qbx::messaging::SNProxyInfoRspMsg& msg);

 private:
  SNProxyClientCommon(const std::string& clientId, const std::string& EndPoint, const Options& options);

  std::weak_ptr<ProxyClientBase> WeakBase() override { return weak_from_this(); }
  void ProcessInfo(const zumbra::qbx::messaging::SNProxyInfoRspMsg& msg) override { ProcessSNProxyInfo(msg); }

  mutable std::shared_mutex snMapLock_;
  std::map<std::string, bool> snUuidMap_;
  int32_t numSmartNics_ = 0;
};

}  // namespace qbx
