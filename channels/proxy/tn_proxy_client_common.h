// The process-wide link to the node's transport-node proxy (qbx::TnProxyClientCommon).
//
// Two kept connections, each on an event-loop provider of its own:
// - the proxy-information connection (EndPoint): a stub of ApplProxyInfoService and one
//   subscription on it, through which the proxy pushes the APH list with its master, this
//   node's uuid and the product version. A subscription the proxy ends while the connection
//   stays up is made again after the stub retry delay;
// - the forwarding connection (StubsEndPoint): the messaging-channel clients make their
//   management-plane stubs ("qbx://<aph>") over it and run their timers on its provider.
// What happens on them is turned into notifications for the registered clients:
// CONNECT_TNPROXY when the forwarding connection comes up, UPDATE_STUB when a fresh APH
// list is known while the forwarding connection is up, and connection-down with the close
// reason when the forwarding connection closes.
//
// Threading:
// - Callers: Init/Start/Stop on the main thread; registration, removal and the readers on
//   any messaging-channel thread.
// - provider_'s thread: proxy-information connection events, stub creation and its retry
//   and reconnect timers, the subscription's updates. forwardingProvider_'s thread:
//   forwarding connection events and the posted UPDATE_STUB callbacks.
// - stateLock_ (in ProxyClientBase) guards the flags, the stub, the retry budget and the
//   timers, its clientsLock_ the callback maps, its infoMutex_ the node uuid and the product
//   version; aphMapLock_ the APH map. Order: stateLock_ before clientsLock_; aphMapLock_ and
//   infoMutex_ are never held with another lock of this class.
// - No notification runs with any lock of this class held: the callbacks are copied out
//   first, so a client may register, remove itself or read the client's state from inside
//   a callback. CONNECT_TNPROXY and connection-down callbacks run synchronously on the
//   forwarding provider's thread, UPDATE_STUB callbacks are posted to it.
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
#include "zumbra/qbx/messaging/appl_proxy_info.grpc.pb.h"
#include "zumbra/qbx/messaging/appl_proxy_info.pb.h"

namespace qbx {

class TnProxyClientCommon
    : public ProxyInfoClient<zumbra::qbx::messaging::ApplProxyInfoService, zumbra::qbx::messaging::ApplProxyInfoReqMsg,
                             zumbra::qbx::messaging::ApplProxyInfoRspMsg>,
      public std::enable_shared_from_this<TnProxyClientCommon> {
 public:
  using ApplProxyInfoStub = InfoStub;
  using ApplProxyInfoObserver = Observer;

  // Durations and budgets; the defaults are the daemon's. Tests shorten them or drive the
  // timers through a manual clock.
  struct Options {
    std::chrono::milliseconds stubRetryDelay{1000};
    std::chrono::milliseconds reconnectDelay{5000};
    int32_t stubRetryBudget = 100;
    // Timers of both providers follow this clock when set.
    std::shared_ptr<ManualClock> clock;
  };

  // Makes the process-wide instance unless it exists; a later call changes nothing.
  static void Init(const std::string& clientId, const std::string& EndPoint, const std::string& StubsEndPoint);
  static std::shared_ptr<TnProxyClientCommon> getInstance();
  // Drops the process-wide instance (tests).
  static void ResetInstanceForTest();
  // A client that is not the process-wide one (tests, tools).
  static std::shared_ptr<TnProxyClientCommon> Create(const std::string& clientId, const std::string& EndPoint,
                                                     const std::string& StubsEndPoint, const Options& options);

  ~TnProxyClientCommon() override;

  void Start();
  void Stop();

  std::string getTnUuidStr() const;
  std::map<std::string, bool> GetAphUuidMasterMap() const;
  // True when `uuid` is one of the APHs the proxy reported last.
  bool HasAph(const std::string& uuid) const;

  void SetTnProxyConnectionUp(const std::string& clientName, const std::function<void()>& cb);
  void SetTnProxyConnectionDown(const std::string& clientName, const std::function<void(rpc::CloseReason)>& cb);

 private:
  TnProxyClientCommon(const std::string& clientId, const std::string& EndPoint, const std::string& StubsEndPoint,
                      const Options& options);

  std::weak_ptr<ProxyClientBase> WeakBase() override { return weak_from_this(); }
  void ProcessInfo(const zumbra::qbx::messaging::ApplProxyInfoRspMsg& msg) override;

  bool started_ = false;  // under stateLock_
  mutable std::shared_mutex aphMapLock_;
  std::map<std::string, bool> aphUuidMasterMap_;
};

}  // namespace qbx
