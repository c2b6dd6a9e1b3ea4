// The aggregation-service client of one vertical.
//
// The manager makes one client per vertical, lets the vertical register its callbacks
// (pull, generic runtime status, statistics) with it, sets it up (binds it to the
// vertical's messaging sender and starts its dispatcher thread), opens it (registers its
// generic runtime-status types with the monitoring status source) and stops it at shutdown.
// While open, the client answers the management plane's requests from the vertical's
// callbacks and queues every answer on its dispatcher thread.
//
// Threading model:
// - Construction, registration, set-up, open and stop run on the manager's thread.
//   Registration happens before set-up; afterwards the two adapter maps are only read, so
//   they have no lock of their own. Adding a plain adapter takes the request lock all the
//   same, to forget the pull handler's last lookup (see AddAdapter).
// - Requests (ProcessReceivedMessage and the handlers it calls) run on the sender's receive
//   thread, one at a time: each request holds `resetMutex`, the client's request lock. The
//   receive thread may already hold it through Lock/Unlock; it is recursive for that reason.
//   SetMPVersion, ResetStatistics and the dispatcher's stop take the same lock, so a reset
//   or a version change never runs in the middle of a request, and the dispatcher thread is
//   stopped only once the request in flight has queued its answers.
// - `dispatcherMutex` guards `mpaDispatcherThread`; it is held only to queue a task or to
//   take the thread out for stopping, never while a task runs.
// - The dispatcher thread runs the queued MpaMessageTasks, which call the sender, and gives
//   each back to `taskPool` (its own lock) for the request thread to reuse.
// - Lock order: resetMutex before dispatcherMutex; resetThreadsMutex is taken alone.
//   No callback runs under dispatcherMutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "aggsvc/mpa_message_sender.h"
#include "aggsvc/msg_metadata.h"
#include "aggsvc/sha_client_wrapper.h"
#include "aggsvc/stats/delta_worker.h"
#include "aggsvc/stats/stats_store.h"
#include "aggsvc/status_source.h"
#include "aggsvc/vertical.h"
#include "zumbra/qbx/agg_service/status/runtime_status.pb.h"

class TaskThread;
class MpaMessageTask;
class MpaMessageTaskPool;
class MpaAnswerQueue;
struct rmqClientMessage;

namespace qbx {
class DiffStoreFactoryImpl;
}  // namespace qbx

namespace zumbra::qbx::agg_service::messaging {
class SummationStatsResponseMsg;
}

using GenericRuntimeStatusUpdateMsg = zumbra::qbx::agg_service::status::GenericRuntimeStatusUpdateMsg;

// A runtime status update with the health-agent metric that goes with it (either may be null).
struct RuntimeStatus {
  std::shared_ptr<GenericRuntimeStatusUpdateMsg> status;
  std::shared_ptr<MetricsAgentMessage> metric;
};

// What a runtime-status getter is told: whether time-series metrics are wanted right now.
struct RuntimeStatusOptionsGet {
  bool tsdbEnabled = false;
};

// Result codes of the framework.
namespace aggresult {
constexpr int kOk = 0;
constexpr int kGeneral = -1;
constexpr int kImpossibleSummationStatus = -1000;
constexpr int kUnrecognizedRequestType = -1001;
constexpr int kUnparsableRequest = -1002;
constexpr int kNoAdapter = -1003;
constexpr int kTargetWithoutType = -1004;
constexpr int kDuplicateRegistration = -1005;
constexpr int kInvalidArgs = -1006;
constexpr int kNoDispatcherThread = -1007;
constexpr int kNoSeqNumOrAck = -1008;
constexpr int kDispatcherStartFailed = -1009;
constexpr int kDispatcherAlreadyCreated = -1010;
constexpr int kSnicRegistrationOnSnic = -1011;
constexpr int kTooManyTargets = -1012;
constexpr int kNoOnDemandTargets = -3003;
constexpr int kEncodingFailed = -3004;
constexpr int kSerializationFailed = -3005;
constexpr int kNoDeltaStore = -3006;
}  // namespace aggresult

class AggServiceClient : public std::enable_shared_from_this<AggServiceClient> {
 public:
  // Where one message of a merge list came from: 0 the host itself, other values a smart NIC.
  enum StatusMessageSource : uint32_t {
    STATUS_SOURCE_LOCAL = 0,
    STATUS_SOURCE_SNIC = 1,
  };

  // Callback types a vertical registers (per message type where templated).
  template <class Msg>
  using PullHandler = std::function<void(const std::vector<std::shared_ptr<PullTarget>>&,
                                         std::vector<std::shared_ptr<Msg>>&)>;
  using GenericStatusGetter = std::function<std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>>()>;
  // True when the two updates are the same.
  using GenericStatusDiff = std::function<bool(const std::shared_ptr<GenericRuntimeStatusUpdateMsg>&,
                                               const std::shared_ptr<GenericRuntimeStatusUpdateMsg>&)>;
  using PollStatsHandler = std::function<void(qbx::PollStatType, std::shared_ptr<qbx::IStatsStoreFactory>)>;
  using PollStatsMetricsHandler =
      std::function<void(qbx::PollStatType, bool&, std::shared_ptr<qbx::IStatsStoreFactory>,
                         std::vector<std::shared_ptr<MetricsAgentMessage>>&)>;
  using OnDemandStatsHandler = std::function<void(const std::vector<std::shared_ptr<qbx::TargetContext>>&,
                                                  std::shared_ptr<qbx::IStatsStoreFactory>)>;
  using OnDemandStatsNewHandler = std::function<void(const std::vector<std::shared_ptr<qbx::TargetContextNew>>&,
                                                     std::shared_ptr<qbx::IStatsStoreFactory>)>;
  using GenericStatusMerge = std::function<bool(const std::vector<std::shared_ptr<GenericRuntimeStatusUpdateMsg>>&,
                                                const std::vector<StatusMessageSource>&,
                                                std::shared_ptr<GenericRuntimeStatusUpdateMsg>&)>;
  template <class Msg>
  using StatusMerge = std::function<bool(const std::vector<std::shared_ptr<Msg>>&,
                                         const std::vector<StatusMessageSource>&, std::vector<std::shared_ptr<Msg>>&)>;
  // Which smart NICs (by id) a pull target is to be asked of; false when none.
  using RemoteTargetMapper = std::function<bool(const std::shared_ptr<PullTarget>&, std::vector<std::string>&)>;
  using RuntimeStatusGetter = std::function<std::optional<RuntimeStatus>(const RuntimeStatusOptionsGet&)>;
  using RuntimeStatusDiff = std::function<bool(const std::shared_ptr<GenericRuntimeStatusUpdateMsg>&,
                                               const std::shared_ptr<GenericRuntimeStatusUpdateMsg>&, RuntimeStatus&)>;
  using RuntimeStatusMerge = std::function<bool(const std::vector<std::shared_ptr<GenericRuntimeStatusUpdateMsg>>&,
                                                const std::vector<StatusMessageSource>&, RuntimeStatus&)>;

  // The interface through which the client, the status source and the smart-NIC client
  // reach a vertical's callbacks for one message type. Defined in aggsvc/vertical_adapter.h.
  class Adapter;
  template <class Msg>
  class VerticalAdapter;

  // Request type identifiers, compared in this order.
  static constexpr const char* kClientDataRequestTypeId = "com.zumbra.qbx.management.agg.messaging.ClientDataRequestMsg";
  static constexpr const char* kSummationRequestTypeId =
      "com.zumbra.qbx.management.agg.messaging.PullSummationStatsRequestMsg";
  static constexpr const char* kOverwriteRequestTypeId =
      "com.zumbra.qbx.management.agg.messaging.PullOverwriteStatsRequestMsg";
  static constexpr const char* kOnDemandRequestTypeId = "com.zumbra.qbx.management.agg.messaging.OnDemandStatsRequestMsg";
  static constexpr const char* kGenericRuntimeStatusRequestTypeId =
      "zumbra.qbx.agg_service.messaging.GenericRuntimeStatusRequestMsg";

  // The most targets one pull or on-demand request may name (all its target types
  // together): each target costs a callback entry and an answer, so a larger request is
  // refused whole rather than served in part.
  static constexpr size_t kMaxTargetsPerRequest = 10000;

  // What set-up needs from outside, injectable per client. Empty members fall back to the
  // process-wide defaults below.
  struct Deps {
    std::shared_ptr<MpaVerticalRegistrar> registrar;
    std::function<int()> nodePersona;
  };
  // Process-wide defaults, installed once at start-up before any client is set up: the
  // messaging client's registration, and the node persona (1 smart-NIC host, 2 smart NIC).
  // Without a registrar, set-up fails as when no sender comes back; without a persona
  // source the node counts as a plain node.
  static void SetDefaultRegistrar(std::shared_ptr<MpaVerticalRegistrar> registrar);
  static void SetDefaultNodePersonaSource(std::function<int()> nodePersona);
  // The node persona from the installed source; without one, the smart-NIC topology
  // library's.
  static int DefaultNodePersona();
  // Switched on by set-up on a smart NIC and never off; the summation handling reads it.
  static bool IsSmartNicMode();

  // Management-plane type name -> full protobuf type name, the 67 fixed pairs.
  static const std::vector<std::pair<std::string, std::string>>& MpTypeNameTable();

  AggServiceClient(std::shared_ptr<Vertical> vertical, std::shared_ptr<qbx::StatusSource::StatusSource> statusSource,
                   std::shared_ptr<qbx::AggSvc::ShaClientWrapper> shaClientWrapper, Deps deps = {});
  AggServiceClient(const AggServiceClient&) = delete;
  AggServiceClient& operator=(const AggServiceClient&) = delete;

  // Traffic of the vertical's smart-NIC registration. On a smart NIC (persona 2) these are
  // the host's requests, answered here as any request; elsewhere the plain client has no
  // use for them (the smart-NIC client files them as replies).
  virtual void HandleSnReply(rmqClientMessage* msg, const std::string& appName, const std::string& typeId,
                             const std::string& correlationId);
  virtual ~AggServiceClient();
  virtual int SetupAggServiceClient(const ChannelContext& hostProvider);
  virtual int SetupAggServiceClient(const ChannelContext& hostProvider, const ChannelContext& snProvider);
  virtual int OpenAggServiceClient();
  virtual void StopAggServiceClient();
  virtual void SetMPVersion(uint32_t major, uint32_t minor);
  // Dispatches one request by its type identifier; 0 or a negative code. Holds the request
  // lock for the whole request. Never throws.
  virtual int ProcessReceivedMessage(const char* payload, int32_t length, const MsgMetadata& metadata);
  virtual void InitExternalAdapters();
  virtual std::shared_ptr<MpaMessageSender> RegisterWithMessaging(const ChannelContext& hostProvider);
  virtual std::shared_ptr<MpaMessageSender> RegisterWithMessaging(const ChannelContext& hostProvider,
                                                                  const ChannelContext& snProvider);
  // Queues one answer on the dispatcher thread: 0 queued, -1007 no dispatcher thread (or
  // one that is stopping or full; the lost answer is logged). The metadata is read, not
  // kept: the answers of one pull share their metadata, and the task copies its strings
  // (into storage it reuses) only when it is filled.
  virtual int CreateAndEnqueueMpaMessageTask(std::string payload, const MsgMetadata& metadata);
  virtual void CallExtraAdapter(const char* payload, int32_t length, const MsgMetadata& metadata);
  virtual Adapter* MakeSummationStatsAdapter();
  virtual Adapter* MakeOverwriteStatsAdapter();
  virtual Adapter* MakeOnDemandStatsAdapter();

  // Statistics handlers: 0, or -1005 when a poll handler is registered already.
  int RegisterPollStatsHandler(const PollStatsHandler& handler);
  int RegisterOnDemandStatsHandler(const OnDemandStatsHandler& handler, const OnDemandStatsNewHandler& handlerNew);

  // Per-message-type registration (defined in aggsvc/vertical_adapter.h): 0, or -1005 when
  // the type has an adapter in that map already.
  template <class Msg>
  int RegisterPullHandler(const PullHandler<Msg>& handler);
  template <class Msg>
  int RegisterGenericPullHandler(const GenericStatusGetter& getter, const GenericStatusDiff& diff);
  // Runtime-status form: also forwards metrics to the health-agent wrapper.
  template <class Msg>
  int RegisterGenericPullHandler(const RuntimeStatusGetter& getter, const RuntimeStatusDiff& diff);

  // Clears the summation state when a vertical's datapath restarted. The async form runs
  // the reset on a thread of its own; the client joins that thread before it goes.
  void ResetStatistics();
  void ResetStatisticsAsync();
  // Waits until every reset started so far has run.
  void WaitForResetsForTest();

  // The request lock, for the receive thread to hold around each request.
  void Lock() { resetMutex.lock(); }
  void Unlock() { resetMutex.unlock(); }

  // This client's node persona: its own source when given one, else the default.
  int NodePersona() const;

  const std::shared_ptr<Vertical>& GetVertical() const { return vertical; }
  const char* AppName() const { return vertical->Name().c_str(); }
  // Lookups in the two adapter maps; null when absent.
  Adapter* FindAdapter(const std::string& msgTypeName) const;
  Adapter* FindGenericAdapter(const std::string& msgTypeName) const;
  size_t AdapterCount() const { return adapters.size(); }
  size_t GenericAdapterCount() const { return genericAdapters.size(); }
  bool HasDispatcherThread();
  uint32_t GetLastSummationStatus() const { return lastSummationStatus; }

 protected:
  // Request handlers, each called by ProcessReceivedMessage with the request lock held.
  int VerticalPullRequestHandler(const char* payload, int32_t length, const MsgMetadata& metadata);
  // Statistics and runtime-status handlers, defined with the statistics handling sources
  // (summation, overwrite, on-demand and runtime-status requests). They run with the
  // request lock held and answer through CreateAndEnqueueMpaMessageTask.
  int SummationStatsRequestHandler(const char* payload, int32_t length, const MsgMetadata& metadata);
  int OverwriteStatsRequestHandler(const char* payload, int32_t length, const MsgMetadata& metadata);
  int OnDemandStatsRequestHandler(const char* payload, int32_t length, const MsgMetadata& metadata);
  int GenericRuntimeStatusRequestHandler(const char* payload, int32_t length, const MsgMetadata& metadata);
  // Puts `deltaWorker` in its reset state and empties `diffStore` when it exists; called
  // with the request lock held.
  void ResetSummationState();

  // Puts `adapter` (owned from here on) in `adapters` under `key`, which has none, and
  // forgets the pull handler's last lookup, which may have found nothing under that key.
  void AddAdapter(const std::string& key, Adapter* adapter);
  // The plain adapter a pull target type names: looked up under its full protobuf type
  // name when it is a management-plane name, else as it is; null when none.
  Adapter* LookUpPullAdapter(const std::string& targetType) const;

  int DispatchMpaMessageTask(MpaMessageTask* task);
  // The answers of one pull target type, collected while they pass through
  // CreateAndEnqueueMpaMessageTask one by one (request thread only).
  class AnswerBatch;
  int StartMpaDispatcherThread();
  void StopMpaDispatcherThread();

  using RequestHandler = int (AggServiceClient::*)(const char*, int32_t, const MsgMetadata&);
  // Runs a handler; a vertical's exception is logged and the request refused with -1.
  int RunHandlerGuarded(RequestHandler handler, const char* payload, int32_t length, const MsgMetadata& metadata);
  std::shared_ptr<MpaVerticalRegistrar> Registrar() const;
  void LogSetup();
  // Delta store, dispatcher thread and the sender's link back to this client.
  int FinishSetup();

  std::shared_ptr<Vertical> vertical;
  std::shared_ptr<MpaMessageSender> sender;
  // Plain adapters (pull handlers and the three statistics-request adapters) and generic
  // runtime-status adapters, keyed by full protobuf type name; owned.
  std::unordered_map<std::string, Adapter*> adapters;
  std::unordered_map<std::string, Adapter*> genericAdapters;
  // The pull handler's last lookup: the target type and what LookUpPullAdapter gave for it
  // (null included), so that a stream of pulls of one type hashes no name. Guarded by
  // resetMutex; forgotten by AddAdapter, so a registration is never missed.
  std::string lastPullType;
  Adapter* lastPullAdapter = nullptr;
  bool lastPullKnown = false;
  qbx::DeltaWorker deltaWorker;
  std::shared_ptr<qbx::DiffStoreFactoryImpl> diffStore;
  // The serialised StatsResponseMsg of the last summation answer, for a resend (with the
  // resending request's seq_num); dropped when the delta state is reset.
  std::shared_ptr<const std::string> lastSummationStats;
  uint32_t lastSummationStatus = 0;
  std::unique_ptr<TaskThread> mpaDispatcherThread;  // guarded by dispatcherMutex
  // Finished answer tasks for reuse; shared with the dispatcher thread, which gives them back.
  std::shared_ptr<MpaMessageTaskPool> taskPool;
  // Hands the answers over to the dispatcher thread; made with the thread, guarded by
  // dispatcherMutex as it is.
  std::shared_ptr<MpaAnswerQueue> answerQueue;
  // Management-plane type name -> full protobuf type name (MpTypeNameTable), looked up per
  // pull target.
  std::unordered_map<std::string, std::string> mpTypeNames;
  std::shared_ptr<qbx::StatusSource::StatusSource> statusSource;
  std::shared_ptr<qbx::AggSvc::ShaClientWrapper> shaClientWrapper;
  // Statistics-reset threads still to be joined; each sets its flag when done. Reaped by
  // the next ResetStatisticsAsync and joined by the destructor, never detached, so no reset
  // thread outlives its client.
  struct ResetThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<ResetThread> resetThreads;  // guarded by resetThreadsMutex
  std::mutex resetThreadsMutex;
  std::recursive_mutex resetMutex;
  std::mutex dispatcherMutex;
  Deps deps;
};
