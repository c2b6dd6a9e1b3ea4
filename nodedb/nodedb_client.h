// The local configuration-database client.
//
// It holds three stubs of the database (data, ops and health), obtained one after another
// by a small state machine that retries every 5 s and starts over whenever the data
// stub's stream goes down. Once connected it opens one monitor session per VDb (a
// server-streaming Monitor call carrying the union of the statements the modules asked
// for), routes every streamed update to the modules of its object type, tells the modules
// that got updates when a barrier arrives, and sends queued modifications one merged batch
// at a time.
//
// Threading model:
// - Interface operations may be called from any thread; each takes the client mutex
//   (recursive) for its whole run.
// - Stub completions, retries, the stream-down notice, monitor responses and stream ends,
//   and modification completions run on the provider's event-loop thread. Observers take
//   the observer mutex first and the client mutex second; nothing takes them the other way.
// - No user callback (update, barrier, channel status, done, version constraint, exit) runs
//   with either mutex held, and none runs on a caller's thread: they are queued under the
//   lock and run, in order, on an event-loop thread once the operation has released it (an
//   operation called from another thread posts the drain). A callback may therefore call
//   the client again, a caller may hold its own locks while calling the client, and the
//   tables may change under a delivery without disturbing it (routing works on copies).
//   The provider may run its loop on several threads: one drain runs at a time (the others
//   leave the queue to it), so the callbacks still run one after another, in order.
// - Start is the only blocking operation: it waits on the condition variable, with the
//   client mutex released, until the client has entered CONNECTED after the call.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "core/metric_counters.h"
#include "nodedb/nodedb_client_interface.h"
#include "platform/rpc/client_context.h"
#include "platform/rpc/endpoint.h"
#include "platform/rpc/status.h"
#include "platform/rpc/stub.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/retry_policy.h"
#include "platform/runtime/timer.h"
#include "platform/runtime/uuid_generator.h"
#include "zumbra/qbx/daemon/daemon_health.grpc.pb.h"
#include "zumbra/qbx/nodedb/nodedb.grpc.pb.h"

namespace qbx {
namespace nodedb {

// The client library's own threshold (initially INFO); a record is written only when both
// this and the process threshold allow its level.
extern std::atomic<LibraryLogLevel> library_log_level;

inline bool LogEnabled(LibraryLogLevel level) {
  return library_log_level.load(std::memory_order_relaxed) >= level && Logger::Enabled(level);
}

using DataStub = rpc::Stub<zumbra::qbx::nodedb::NodeDb>;
using OpsStub = rpc::Stub<zumbra::qbx::nodedb::NodeDbOps>;
using HealthStub = rpc::Stub<zumbra::qbx::daemon::DaemonHealth>;

class NodeDbClient : public NodeDbClientInterface, public std::enable_shared_from_this<NodeDbClient> {
 public:
  enum State : uint32_t {
    NONE = 0,
    INIT = 1,
    CONNECTING = 2,
    REQUEST_OPS_STUB = 3,
    REQUEST_DAEMON_HEALTH_STUB = 4,
    CONNECTED = 5,
    DISCONNECTED = 6,
    ERROR = 7,
  };

  // Schema request progress.
  enum CallbackState : int32_t { kNotAsked = 0, kAsked = 1, kAnswered = 2, kTimedOut = 3 };

  NodeDbClient(const std::string& name, const net::Endpoint& endpoint, AsioQbxProvider& provider,
               std::recursive_mutex* mutex, bool create_default_session, bool enable_monitor_sessions,
               bool check_server_schema);
  ~NodeDbClient() override;
  NodeDbClient(const NodeDbClient&) = delete;
  NodeDbClient& operator=(const NodeDbClient&) = delete;

  // NodeDbClientInterface
  bool RegisterMonitorCallback(uint32_t module_id, const UpdateCallback& update, const BarrierCallback& barrier,
                               uint16_t vdb_id) override;
  void AddChannelStatusCallback(const ChannelStatusCallback& callback) override;
  bool AddMonitorSession(uint16_t vdb_id) override;
  bool RemoveMonitorSession(uint16_t vdb_id) override;
  bool EnableMonitorSessionCreation() override;
  bool ConfigureMonitor(const std::vector<zumbra::qbx::nodedb::MonitorStatementMsg>& add,
                        const std::vector<zumbra::qbx::nodedb::MonitorStatementMsg>& remove, uint32_t module_id,
                        uint16_t vdb_id) override;
  bool UpdateMonitor(const std::vector<zumbra::qbx::nodedb::MonitorStatementUpdateMsg>& updates,
                     uint16_t vdb_id) override;
  bool GetServerSchemaVersion(const SchemaVersionCallback& callback) override;
  bool GetServerSchema(const SchemaCallback& callback) override;
  void Modify(const std::vector<zumbra::qbx::nodedb::ModifyRequestMsg>& requests, const DoneCallback& done) override;
  bool Get(const std::vector<zumbra::qbx::nodedb::ObjectRequestMsg>& requests, const ObjectsCallback& callback,
           uint16_t vdb_id) override;
  bool Query(const zumbra::qbx::nodedb::StatementMsg& statement, const ObjectsCallback& callback,
             uint16_t vdb_id) override;
  bool CreateVDb(const std::string& name, const CreateVDbCallback& callback) override;
  bool DeleteVDb(const std::string& name, const DeleteVDbCallback& callback, uint16_t vdb_id) override;
  bool GetVDbId(const std::string& name, const VDbsCallback& callback) override;
  bool Echo(const std::string& text, const EchoCallback& callback) override;
  void Start() override;

  // Start without waiting for the connection.
  void StartAsync();

  // Schema checks.
  bool SetVersionConstraint(zumbra::qbx::nodedb::ObjectType type, const std::string& version,
                            const std::function<void(const zumbra::qbx::nodedb::ObjectType&)>& callback);
  bool CheckVersionConstraint(zumbra::qbx::nodedb::ObjectType type);
  bool IsObjectInServerSchema(const zumbra::qbx::nodedb::ObjectType& type);
  void SetVersionResponseTimeout(int64_t seconds);

  bool IsPendingModificationReqEmpty();
  State state();

  // The object count of a schema text: the value of its last ObjectType enumerator (0 when
  // the text has no such enumeration).
  static int32_t ParseObjectCount(const std::string& schema);
  // The object count that a server version implies, from the fixed table; nullopt when the
  // version is not in it.
  static std::optional<int32_t> ObjectCountForVersion(const std::string& key);
  // Whether a server version meets a minimum version: both split at ".", the pieces compared
  // as numbers position by position and the first piece that differs deciding (so 4.0.0
  // meets 3.1); a version that runs out first meets it. nullopt ("cannot compare") unless
  // both texts are wholly numbers separated by dots: an empty text, an empty piece or a
  // piece with anything beside its digits ("3.2rc1", "3.1 ") compares with nothing.
  static std::optional<bool> VersionMeets(const std::string& server, const std::string& minimum);

  // The most requests one Modify call carries: the call's writer refuses more than this many
  // waiting requests, and a refused request would cancel the whole batch.
  static constexpr size_t kMaxBatchRequests = 4096;

  // Observers (defined in the sources).
  class MonitorResponseObserver;
  class ConfigureMonitorResponseObserver;
  class ModifyResponseObserver;
  class GetResponseObserver;
  class QueryResponseObserver;
  class CreateVDbResponseObserver;
  class DeleteVDbResponseObserver;
  class GetVDbIdResponseObserver;
  class EchoResponseObserver;
  class SchemaResponseObserver;
  class SchemaVersionResponseObserver;

 private:
  using Lock = std::unique_lock<std::recursive_mutex>;

  struct PendingModification {
    // A done callback runs once the first `after` requests of its entry are confirmed: an
    // entry merged from several writes, or split across batches, confirms each write when
    // its own last request is written.
    // Requests after the last done callback's `after` belong to a write that goes on in the
    // next entry (a write split across calls), whose done callback is the first one there.
    struct Done {
      size_t after = 0;
      DoneCallback fn;
    };
    std::vector<zumbra::qbx::nodedb::ModifyRequestMsg> requests;
    std::vector<Done> done;
    bool sending = false;
    // Holds (or held: removing operations leaves it set) an operation of a type with a
    // version constraint; such an entry waits for the connection's version.
    bool constrained = false;
  };

  struct Session {
    std::string monitor_id;
    // The running Monitor call; cancelled when the session is set up again or removed, so
    // that no two streams feed one session.
    std::function<void()> cancel;
  };

  // ---- state machine (nodedb_client.cc)
  void ChangeState(State target);
  void OnEnter(State state);
  void OnExit(State state);
  void RequestStub();
  void RequestOpsStub();
  void RequestDaemonHealthStub();
  void SetStub(const std::optional<DataStub>& stub, rpc::StubCreationStatus status);
  void SetOpsStub(const std::optional<OpsStub>& stub, rpc::StubCreationStatus status);
  void SetDaemonHealthStub(const std::optional<HealthStub>& stub, rpc::StubCreationStatus status);
  void ScheduleStubRetry(void (NodeDbClient::*request)(), const char* what);
  static void OnRpcStreamDown_(const std::weak_ptr<NodeDbClient>& weak, uint64_t generation,
                               rpc::CloseReason reason);
  void RunConnectedActions();
  void NotifyChannelStatus(bool up);
  // Schema check.
  void StartSchemaCheck();
  // Ask (or ask again) for the schema or the version within the current connection; a
  // request that cannot be made is retried like a failed one.
  void AskSchema();
  void AskSchemaVersion();
  // After a failed or refused schema or version request while the decision is pending:
  // ask again after the kind's back-off.
  // Returns the delay in milliseconds (0 when an ask of that kind is already scheduled).
  int64_t ScheduleSchemaAsk(bool version);
  void CancelSchemaAsks();
  void CancelSchemaAsk(bool version);
  // This connection has neither the server's version answer nor the end of its window.
  bool VersionWanted() const { return version_state_ != kAnswered && version_state_ != kTimedOut; }
  // Whether an operation of the entry names an object type with a version constraint.
  bool HasConstrainedOperation(PendingModification& entry);
  void MarkConstrained(PendingModification& entry);
  // `connection` is the connection (count of entries into CONNECTED) the request or timer
  // belongs to: what concerns an earlier connection decides nothing for this one, and what
  // arrives between connections decides nothing at all.
  bool CurrentConnection(uint64_t connection) const { return connection == connected_count_ && state_ == CONNECTED; }
  void OnSchema(uint64_t connection, const std::string& schema, const rpc::Status& status);
  void OnSchemaTimeout(uint64_t connection);
  void OnSchemaVersion(uint64_t connection, const std::string& version, const rpc::Status& status);
  void OnSchemaVersionTimeout(uint64_t connection);
  bool SchemaDecision();
  // Runs the connected actions when this event made the decision; otherwise, when the
  // event was a failure, a time-out or an answer that decides nothing, says why nothing is
  // monitored or written yet.
  void AfterSchemaEvent(bool undecided_by_this_event, const std::string& what);
  // With the client mutex held; a failed check queues the constraint's callback.
  bool CheckVersionConstraintLocked(zumbra::qbx::nodedb::ObjectType type);

  // ---- monitor sessions (nodedb_client_monitor.cc)
  void SetupAllSessions();
  void SetupSession(uint16_t vdb_id);
  void OnMonitorResponse(uint16_t vdb_id, const std::string& monitor_id,
                         const zumbra::qbx::nodedb::MonitorResponseMsg& response);
  void OnMonitorEnd(uint16_t vdb_id, const std::string& monitor_id, const rpc::Status& status);
  void SendConfigureMonitor(zumbra::qbx::nodedb::ConfigureMonitorRequestMsg& request, uint16_t vdb_id);
  bool StubsHeld() const { return data_stub_ && ops_stub_ && health_stub_; }
  // With schema checks on, nothing is sent (sessions, monitor changes, writes) until this
  // connection's schema decision is made: filtering against an unknown schema would drop
  // everything.
  bool SchemaDecisionPending() const { return check_server_schema_ && (state_ != CONNECTED || !schema_checks_done_); }

  // ---- operations (nodedb_client_ops.cc)
  void SendHead();
  void OnModifyDone(uint64_t send_id, const rpc::Status& status);
  void ScheduleModifyRetry();
  // Removes the operations the server schema refuses; false when nothing is left.
  bool FilterBySchema(PendingModification& entry);
  // Removes the requests not marked kept, moving each done callback's count with them. A
  // write left with nothing to write in the entry is confirmed with the write before it: the
  // last one kept in the entry, else those of `previous` (the last entry still pending before
  // it, null when there is none), else at once.
  void KeepRequests(PendingModification& entry, const std::vector<bool>& keep, PendingModification* previous);
  void PurgeVDb(uint16_t vdb_id);
  void SetGauge(size_t count);

  // ---- deferred user callbacks
  void Defer(std::function<void()> fn);
  // Runs the queued callbacks when called on a loop thread, else posts a drain there; call
  // without holding the client mutex. Safe with several loop threads: while one drain runs,
  // another returns at once (clearing the posted mark) and leaves the queue to it.
  void RunDeferred();
  void PostDrain();

  // identity
  const std::string name_;
  const net::Endpoint endpoint_;
  rpc::ClientContext context_;
  AsioQbxProvider& provider_;
  TimerFactory& timers_;
  uuids::UuidGenerator uuid_;

  // synchronisation
  std::recursive_mutex* mutex_;
  bool owns_mutex_ = false;
  std::recursive_mutex observer_mutex_;
  std::condition_variable_any connected_cv_;
  uint64_t connected_count_ = 0;

  // stubs and state
  std::optional<DataStub> data_stub_;
  std::optional<OpsStub> ops_stub_;
  std::optional<HealthStub> health_stub_;
  uint64_t data_stub_generation_ = 0;
  State state_ = NONE;
  State next_state_ = NONE;
  std::shared_ptr<Timer> retry_timer_;
  RetryPolicy retry_policy_;

  // monitor tables
  std::unordered_map<uint16_t, Session> sessions_;
  std::unordered_map<uint16_t, std::unordered_map<uint32_t, UpdateCallback>> update_callbacks_;
  std::unordered_map<uint16_t, std::unordered_map<uint32_t, BarrierCallback>> barrier_callbacks_;
  std::unordered_map<uint16_t, std::unordered_map<int, std::string>> statements_;
  std::unordered_map<uint16_t, std::unordered_map<int, std::unordered_set<uint32_t>>> modules_;
  std::unordered_map<uint16_t, std::unordered_set<uint32_t>> notified_;

  std::vector<ChannelStatusCallback> channel_status_callbacks_;

  // modifications
  std::list<PendingModification> pending_;
  uint64_t send_id_ = 0;  // id of the send in flight
  RetryPolicy modify_retry_;
  std::shared_ptr<Timer> modify_retry_timer_;
  metrics::Metric<metrics::UnitCounterT<unsigned long>> gauge_;
  size_t gauge_value_ = 0;

  // schema
  std::string schema_;
  // The version the server answered on this connection ("0" after its window ran out);
  // empty while there is none. Forgotten when the connection ends.
  std::string server_version_;
  int32_t object_count_ = 0;
  CallbackState schema_state_ = kNotAsked;
  CallbackState version_state_ = kNotAsked;
  bool schema_idle_ = true;
  bool version_idle_ = true;
  bool schema_checks_done_ = false;
  int64_t response_timeout_s_ = 300;
  std::shared_ptr<Timer> schema_timer_;
  std::shared_ptr<Timer> version_timer_;
  // Asking again after a failed schema or version request, within one connection: 1 s,
  // doubling up to 30 s; the schema for as long as the decision is pending, the version
  // until this connection has an answer or its window has run out.
  RetryPolicy schema_ask_policy_;
  RetryPolicy version_ask_policy_;
  std::shared_ptr<Timer> schema_ask_timer_;
  std::shared_ptr<Timer> version_ask_timer_;
  std::map<int, std::pair<std::string, std::function<void(const zumbra::qbx::nodedb::ObjectType&)>>>
      version_constraints_;

  // flags
  bool create_default_session_;
  bool monitor_sessions_enabled_;
  const bool check_server_schema_;

  // deferred user callbacks; guarded by the client mutex
  std::deque<std::function<void()>> deferred_;
  bool running_deferred_ = false;
  bool drain_posted_ = false;
};

const char* to_string(NodeDbClient::State state);

}  // namespace nodedb
}  // namespace qbx

#define QBX_NDB_LOG(level)                    \
  if (!::qbx::nodedb::LogEnabled(level)) {    \
  } else                                      \
    ::qbx::Logger(level).s2comp("nodedb-client")
