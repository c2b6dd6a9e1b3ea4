// The per-application client of the node's messaging channel (MPA).
//
// Every application (vertical) registers one client under its name in a process-wide
// registry. The client carries the application's receive callback, sends its messages and
// delivers the messages that arrive for it. Two transports: the legacy message-queue
// library (registration port 6666) with a connection cookie, a registration
// acknowledgement and a reconnect timer; and the RPC transport towards the management
// plane, supplied by subclasses through the virtual operations below (SendMsgViaTnProxy,
// MsgHandler, RpcMsgHandler, ...). This class gives their base behaviour.
//
// Threading:
// - The registry (regular, smart-NIC host and smart-NIC maps, the two duration maps, the
//   node persona) is guarded by one process-wide shared mutex, the registry lock:
//   Register/UnRegister*/Open/OpenSN take it exclusively, look-ups take it shared.
// - Lock order: registry lock, then a client's connLock. The registry lock is never held
//   while an application's receive callback runs: the callback and a strong reference to
//   its client are copied out first, so a receive callback may take its own locks (the
//   aggregation client's map mutex) and an unregistration may run meanwhile without
//   either waiting for the other.
// - connLock (shared mutex) guards rmqClient_, registrationAcked_, connState_, cookieId_
//   and reconnectTimer_. ConnectToMpa holds connectMutex_ for its whole run and releases
//   connLock around the library's open and close calls.
// - tnProxyStateLock_ guards appInitCompleted_, tnProxyConnected_.
// - The reconnect timer runs on the provider's thread and holds a weak reference to the
//   client, so a client dropped from the registry is never touched by a late timer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>

#include "channels/transport/rmq_client.h"

namespace zumbra::qbx {
class VoidMsg;
namespace messaging {
class GenericUnifiedMsg;
}
}  // namespace zumbra::qbx

namespace qbx {

class AsioQbxProvider;
class Timer;
class TimerFactory;
class MpaClientAppSpecific;

namespace rpc {
template <class T>
class CallObserver;
}
namespace metrics {
template <class T>
class Metric;
template <class T>
class UnitCounterT;
}  // namespace metrics

class MpaClient {
 public:
  using RxCallback = std::function<void(rmqClientMessage*)>;
  // (failed or error code, value such as a correlation id)
  using ErrorCallback = std::function<void(uint32_t, const std::string&)>;
  using OpenCallback = std::function<void(const std::string&)>;

  static constexpr int32_t STATE_INIT = 1;
  static constexpr int32_t STATE_CONNECTED = 2;
  static constexpr uint16_t kLegacyPort = 6666;
  // Callbacks slower than this are reported.
  static constexpr int64_t kSlowCallbackNs = 250'000'000;

  // What a registration hands to the factory of a client.
  struct CreateArgs {
    std::shared_ptr<AsioQbxProvider> provider;
    RxCallback rxCallback;
    std::string appName;
    std::string clientKind;
    uint32_t clientFlags = 0;
    uint16_t port = 0;
    ErrorCallback errorCallback;
  };
  using ClientFactory = std::function<std::shared_ptr<MpaClient>(const CreateArgs&)>;

  explicit MpaClient(const CreateArgs& args);
  virtual ~MpaClient();
  MpaClient(const MpaClient&) = delete;
  MpaClient& operator=(const MpaClient&) = delete;

  // ---- virtual operations (base behaviour; the RPC subclasses override most) ----
  virtual int32_t SendMsg(rmqClientMessage* message);
  virtual int32_t SendMsg(rmqClientMessage* message, const std::string& correlationId);
  virtual bool IsMasterStubPending();
  virtual void updateStubMap();
  virtual void AppInitHandshake();
  virtual void CreateAppSpecificInstance(const std::shared_ptr<MpaClient>& self);
  virtual void ReleaseAppSpecificInstance();
  virtual void RegisterWithTnProxyClient();
  virtual int32_t SendMsgViaTnProxy(rmqClientMessage* message, const std::string& correlationId,
                                    const std::string& aphUuid);
  virtual void RegisterWithSNProxyClient();
  virtual void CreateSNHostAppSpecificInstance();
  virtual int32_t SendMsgViaSNProxy(rmqClientMessage* message, const std::string& snUuid);
  // The management plane's version as the smart-NIC side learnt it; false when unknown.
  virtual bool GetMpVersionSNMpaClient(uint32_t& major, uint32_t& minor);
  virtual int32_t MsgHandler(const zumbra::qbx::messaging::GenericUnifiedMsg& request, const std::string& aphUuid,
                             rpc::CallObserver<zumbra::qbx::VoidMsg>* observer);
  virtual int32_t RpcMsgHandler(const zumbra::qbx::messaging::GenericUnifiedMsg& request,
                                const std::string& aphUuid,
                                rpc::CallObserver<zumbra::qbx::messaging::GenericUnifiedMsg>* observer,
                                uint32_t seq);
  virtual void CreateRmqClient();
  virtual void DropRmqClient();
  virtual void CleanUpForStubs();
  // The management plane's version as the transport-node proxy reported it; false while
  // either number is unknown. The proxy-information client lives elsewhere: the base
  // knows none.
  virtual bool GetMpVersionViaTnProxy(uint32_t& major, uint32_t& minor);
  // Ends the app-init handshake of `seq`; false for a stale sequence or a failed reply.
  virtual bool CompleteAppInitHanshake(uint32_t seq, bool success);

  // ---- registry ----
  static void Register(const std::shared_ptr<AsioQbxProvider>& provider, RxCallback rxCallback,
                       const std::string& appName, const std::string& clientKind, uint32_t clientFlags,
                       uint32_t port, uint64_t ackWaitUs, uint64_t reconnectDelayUs,
                       ErrorCallback errorCallback);
  // The smart-NIC host (persona 1) and smart-NIC (persona 2) registrations: each acts only
  // on its persona (as recorded when the event loop started) and does nothing, silently,
  // on any other.
  static void RegisterSNHost(const std::shared_ptr<AsioQbxProvider>& provider, RxCallback rxCallback,
                             const std::string& appName, const std::string& clientKind,
                             uint32_t clientFlags, uint32_t port);
  static void RegisterSN(const std::shared_ptr<AsioQbxProvider>& provider, RxCallback rxCallback,
                         const std::string& appName, const std::string& clientKind, uint32_t clientFlags,
                         uint32_t port);
  static void UnRegister(const std::string& appName);
  static void UnRegisterSN(const std::string& appName);
  static void UnRegisterSNHost(const std::string& appName);
  static std::shared_ptr<MpaClient> GetClient(const std::string& appName);
  static std::shared_ptr<MpaClient> GetSNClient(const std::string& appName);
  static std::shared_ptr<MpaClient> GetSNHostClient(const std::string& appName);

  static void StartMpaClientEventLoop(const std::string& clientId, const std::string& endpoint,
                                      const std::string& stubsEndpoint);
  static void StopMpaClientEventLoop();
  static uint32_t NodePersona();

  // The receive callback handed to the message-queue library.
  static void MpaRxCallback(rmqClientMessage* message);
  static void DeliverErrorToApp(uint32_t code, const std::string& value, const std::string& appName,
                                bool forSN);
  static bool GetMpaClientAllSNAppsConnected();

  // ---- seams ----
  // Makes the clients of the twenty aggregation applications (the RPC transport's class
  // lives with the proxy clients); without one they get this base class.
  static void SetAggAppClientFactory(ClientFactory factory);
  // The factory of the smart-NIC host and smart-NIC registrations' clients.
  static void SetSNClientFactory(ClientFactory factory);
  // Where the node persona comes from (the smart-NIC topology library in the daemon).
  static void SetNodePersonaSource(std::function<uint32_t()> source);
  // Timers of every client instead of their providers' (tests).
  static void SetTimerFactoryForTest(TimerFactory* timers);
  // Empties every registry (tests).
  static void ResetRegistryForTest();
  static bool IsAggregationAppName(const std::string& appName);

  // ---- members ----
  void Open(OpenCallback openCallback);
  void OpenSN();
  int32_t SendMsgToSN(rmqClientMessage* message, const std::string& snUuid);
  // The receive routine that every inbound record passes, legacy and RPC alike. Releases
  // the record's heap buffer (its `buffer` field) when done.
  void ProcessMpaMessage(rmqClientMessage* message, bool forSN);
  void ConnectToMpa();
  void ScheduleTimer(uint64_t delayUs);
  void Close();
  void CloseRmqConnection();
  bool IsQbxRpcEnabled() const { return port_ != kLegacyPort; }

  // App-init primitives used by the RPC subclasses.
  uint32_t GetNewAppInitSequenceNumber();
  bool IsCurrentAppInitSeq(uint32_t seq);
  // Ends the app-init state when the application closes; the RPC subclass also drops its
  // handshake timers.
  virtual void HandleClose();
  // The application's message layer, when this client has one.
  virtual std::shared_ptr<MpaClientAppSpecific> AppSpecificLayer() { return nullptr; }
  // Whether an incoming request from `callerId` (the caller id of the call's metadata) may
  // reach the application: the RPC transport to the management plane takes only the APHs
  // its proxy reported. Transports that know no caller list take every caller.
  virtual bool IsKnownCaller(const std::string& callerId) const {
    (void)callerId;
    return true;
  }
  // Answers the open incoming call of `correlationId` with an application error: for a
  // request the application refused, so that the caller is not left waiting. False when
  // no such call is open.
  bool RefuseRequest(const std::string& correlationId);
  // Whether the request of `correlationId` has had its one reply (or refusal) lately; a
  // further reply for it would be dropped by the channel.
  bool IsRequestAnswered(const std::string& correlationId);
  bool IsAppInitCompleted() const;

  // State accessors, each under connLock.
  int32_t GetCookieId() const;
  void SetCookieId(int32_t cookie);
  bool IsRegistrationAcked() const;
  void SetRegistrationAcked(bool acked);
  int32_t GetConnState() const;
  void SetConnState(int32_t state);
  // Cancels and clears the pending reconnect timer; true when one was set.
  bool CancelReconnectTimer();
  bool HasReconnectTimer() const;

  const std::string& appName() const { return appName_; }
  uint16_t port() const { return port_; }
  uint64_t RxCount() const { return rxCount_.load(); }
  uint64_t TxCount() const { return txCount_.load(); }
  uint64_t EstablishCount() const { return establishCount_.load(); }

 protected:
  TimerFactory* Timers() const;
  const std::shared_ptr<AsioQbxProvider>& provider() const { return provider_; }
  void SetSelf(const std::shared_ptr<MpaClient>& self) { self_ = self; }
  std::weak_ptr<MpaClient> self() const { return self_; }
  // A copy of the callback stored by Open (empty when none), for the caller to run with no
  // lock held.
  OpenCallback GetOpenCallback() const;

  mutable std::shared_mutex tnProxyStateLock_;
  bool appInitCompleted_ = false;
  bool tnProxyConnected_ = false;
  bool snProxyConnected_ = false;
  std::atomic<uint32_t> app_init_seq_num_{0};

 private:
  static std::shared_ptr<MpaClient> CreateMpaClientForApp(const CreateArgs& args);
  void ProcessMpaMessageImpl(rmqClientMessage* message, bool forSN);
  static void FreeRecordBuffer(rmqClientMessage* message);

  std::shared_ptr<RmqClientInterface> rmqClient_;
  std::shared_ptr<AsioQbxProvider> provider_;
  std::string appName_;
  std::string clientKind_;
  uint32_t clientFlags_;
  OpenCallback openCallback_;  // under the registry lock
  bool registrationAcked_ = false;
  int32_t connState_ = STATE_INIT;
  mutable std::shared_mutex connLock_;
  RxCallback rxCallback_;
  ErrorCallback errorCallback_;
  uint16_t port_;
  int32_t cookieId_ = -1;
  std::shared_ptr<Timer> reconnectTimer_;
  // "rmq/connection/establish", "rmq/msg/rx" and "rmq/msg/tx" in the provider's metrics
  // registry (none without a provider); the atomics beside them serve the accessors.
  std::unique_ptr<metrics::Metric<metrics::UnitCounterT<unsigned long>>> establishMetric_;
  std::unique_ptr<metrics::Metric<metrics::UnitCounterT<unsigned long>>> rxMetric_;
  std::unique_ptr<metrics::Metric<metrics::UnitCounterT<unsigned long>>> txMetric_;
  std::atomic<uint64_t> establishCount_{0};
  std::atomic<uint64_t> rxCount_{0};
  std::atomic<uint64_t> txCount_{0};
  std::mutex connectMutex_;
  std::weak_ptr<MpaClient> self_;
};

}  // namespace qbx
