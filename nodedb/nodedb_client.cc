// Construction, start, the connection state machine and the schema check of the
// configuration-database client.
#include "nodedb/nodedb_client.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "core/stub_creator.h"
#include "platform/rpc/asio_qbx_rpc_provider.h"

namespace qbx {
namespace nodedb {

std::atomic<LibraryLogLevel> library_log_level{loglevel::kInfo};

namespace {
constexpr char kGaugeName[] = "/qbx/nodedb/client/pending_request/count";
constexpr auto kStubRetryInterval = std::chrono::milliseconds(5000);
}  // namespace

const char* to_string(NodeDbClient::State state) {
  switch (state) {
    case NodeDbClient::NONE: return "NONE";
    case NodeDbClient::INIT: return "INIT";
    case NodeDbClient::CONNECTING: return "CONNECTING";
    case NodeDbClient::REQUEST_OPS_STUB: return "REQUEST_OPS_STUB";
    case NodeDbClient::REQUEST_DAEMON_HEALTH_STUB: return "REQUEST_DAEMON_HEALTH_STUB";
    case NodeDbClient::CONNECTED: return "CONNECTED";
    case NodeDbClient::DISCONNECTED: return "DISCONNECTED";
    case NodeDbClient::ERROR: return "ERROR";
  }
  return "<INVALID>";
}

NodeDbClient::NodeDbClient(const std::string& name, const net::Endpoint& endpoint, AsioQbxProvider& provider,
                           std::recursive_mutex* mutex, bool create_default_session, bool enable_monitor_sessions,
                           bool check_server_schema)
    : name_(name),
      endpoint_(endpoint),
      context_(name),
      provider_(provider),
      timers_(provider.timers()),
      mutex_(mutex),
      retry_policy_(kStubRetryInterval),
      modify_retry_(std::chrono::milliseconds(1000), std::chrono::milliseconds(5000), 2.0,
                    RetryPolicy::kUnlimitedAttempts),
      gauge_(provider.metrics(), kGaugeName),
      create_default_session_(create_default_session),
      monitor_sessions_enabled_(enable_monitor_sessions),
      check_server_schema_(check_server_schema) {
  if (mutex_ == nullptr) {
    mutex_ = new std::recursive_mutex();
    owns_mutex_ = true;
  }
  state_ = INIT;
  OnEnter(INIT);
}

NodeDbClient::~NodeDbClient() {
  for (auto& [vdb, session] : sessions_) {
    if (session.cancel) session.cancel();
  }
  // Pending timers are left to fire: they hold only weak pointers and do nothing then.
  if (owns_mutex_) {
    std::lock_guard<std::recursive_mutex> lock(observer_mutex_);
    delete mutex_;
    mutex_ = nullptr;
  }
}

NodeDbClient::State NodeDbClient::state() {
  Lock lock(*mutex_);
  return state_;
}

// ---------------------------------------------------------------- deferred callbacks

void NodeDbClient::Defer(std::function<void()> fn) { deferred_.push_back(std::move(fn)); }

void NodeDbClient::RunDeferred() {
  // User callbacks run on the loop thread only: a caller on another thread (a writer, the
  // thread that starts the client) may hold locks of its own that a callback needs.
  if (!provider_.dispatcher().IsLoopThread()) {
    PostDrain();
    return;
  }
  Lock lock(*mutex_);
  // One runner at a time keeps the order; a callback that calls the client adds to the queue
  // that the outer runner is draining. With several loop threads the runner may be on
  // another thread: it takes whatever is queued now (it checks the queue again under this
  // lock before it stops), so this posted drain is done, and its mark must go with it, or a
  // later post would be skipped while nothing is left to run what it queued.
  if (running_deferred_) {
    drain_posted_ = false;
    return;
  }
  running_deferred_ = true;
  drain_posted_ = false;
  while (!deferred_.empty()) {
    auto fn = std::move(deferred_.front());
    deferred_.pop_front();
    lock.unlock();
    try {
      fn();
    } catch (const std::exception& e) {
      QBX_NDB_LOG(loglevel::kError).put("Exception in a client callback: %s", e.what());
    } catch (...) {
      QBX_NDB_LOG(loglevel::kError).put("Exception in a client callback");
    }
    lock.lock();
  }
  running_deferred_ = false;
}

void NodeDbClient::PostDrain() {
  {
    Lock lock(*mutex_);
    // A drain already on its way, or running, takes whatever was queued before it runs out.
    if (deferred_.empty() || drain_posted_) return;
    drain_posted_ = true;
  }
  std::weak_ptr<NodeDbClient> weak = weak_from_this();
  const bool posted = provider_.dispatcher().Post([weak] {
    if (auto self = weak.lock()) self->RunDeferred();
  });
  if (!posted) {
    // The loop is stopping: the callbacks can no longer run where they are promised to.
    QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient: event loop is stopping, queued callbacks are not run");
    Lock lock(*mutex_);
    drain_posted_ = false;
  }
}

// ---------------------------------------------------------------- start

void NodeDbClient::Start() {
  {
    Lock lock(*mutex_);
    if (state_ != INIT) {
      QBX_NDB_LOG(loglevel::kWarning).put("NodeDbClient is already trying to connect (state: %s)",
                                          to_string(state_));
      return;
    }
    const uint64_t seen = connected_count_;
    ChangeState(CONNECTING);
    // The predicate guards against a wake-up without a connection and against a
    // connection that was made before the wait began.
    connected_cv_.wait(lock, [&] { return connected_count_ != seen; });
  }
  RunDeferred();
}

void NodeDbClient::StartAsync() {
  {
    Lock lock(*mutex_);
    if (state_ != INIT) {
      QBX_NDB_LOG(loglevel::kWarning).put("NodeDbClient is already trying to connect (state: %s)",
                                          to_string(state_));
      return;
    }
    ChangeState(CONNECTING);
  }
  RunDeferred();
}

void NodeDbClient::AddChannelStatusCallback(const ChannelStatusCallback& callback) {
  {
    Lock lock(*mutex_);
    channel_status_callbacks_.push_back(callback);
    // The first call queues behind the notices already queued, so that the last state the
    // subscriber sees is the current one.
    const bool up = data_stub_.has_value();
    if (callback) Defer([callback, up] { callback(up); });
  }
  RunDeferred();
}

void NodeDbClient::NotifyChannelStatus(bool up) {
  for (const auto& cb : channel_status_callbacks_) {
    if (cb) Defer([cb, up] { cb(up); });
  }
}

// ---------------------------------------------------------------- state machine

void NodeDbClient::ChangeState(State target) {
  for (;;) {
    if (state_ == target) {
      QBX_NDB_LOG(loglevel::kInfo).put("NodeDbClient: won't change state to %s - already there", to_string(target));
      return;
    }
    OnExit(state_);
    QBX_NDB_LOG(loglevel::kInfo).put("NodeDbClient: changing state %s to %s", to_string(state_), to_string(target));
    state_ = target;
    next_state_ = NONE;
    OnEnter(target);
    if (next_state_ == NONE) return;
    target = next_state_;
  }
}

void NodeDbClient::OnEnter(State state) {
  QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient: entering %s state", to_string(state));
  switch (state) {
    case INIT:
      break;
    case CONNECTING:
      QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient is connecting...");
      retry_timer_.reset();
      retry_policy_ = RetryPolicy(kStubRetryInterval);
      RequestStub();
      break;
    case REQUEST_OPS_STUB:
      retry_timer_.reset();
      retry_policy_ = RetryPolicy(kStubRetryInterval);
      RequestOpsStub();
      break;
    case REQUEST_DAEMON_HEALTH_STUB:
      retry_timer_.reset();
      retry_policy_ = RetryPolicy(kStubRetryInterval);
      RequestDaemonHealthStub();
      break;
    case CONNECTED:
      QBX_NDB_LOG(loglevel::kInfo).put("NodeDbClient is connected");
      ++connected_count_;
      connected_cv_.notify_all();
      if (check_server_schema_) {
        schema_checks_done_ = false;
        // The default session exists from here on, as without the check, so that a session
        // added while the decision is pending does not take its place; it is set up with
        // the others once the decision is made.
        if (monitor_sessions_enabled_ && sessions_.empty() && create_default_session_) {
          sessions_[1].monitor_id = uuid_.GenerateString();
        }
        StartSchemaCheck();
      } else {
        RunConnectedActions();
      }
      break;
    case DISCONNECTED:
      data_stub_.reset();
      ops_stub_.reset();
      health_stub_.reset();
      next_state_ = CONNECTING;
      break;
    case ERROR:
      QBX_NDB_LOG(loglevel::kWarning).put("NodeDbClient is in ERROR state");
      break;
    default:
      QBX_NDB_LOG(loglevel::kError).tag("NDB101").put("NodeDbClient::OnEnter was called with an invalid state %i",
                                                      static_cast<int>(state));
      break;
  }
}

void NodeDbClient::OnExit(State state) {
  QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient: exiting %s state", to_string(state));
  switch (state) {
    case INIT:
    case DISCONNECTED:
    case ERROR:
      break;
    case CONNECTING:
    case REQUEST_OPS_STUB:
    case REQUEST_DAEMON_HEALTH_STUB:
      if (retry_timer_) retry_timer_->Cancel();
      retry_timer_.reset();
      break;
    case CONNECTED:
      QBX_NDB_LOG(loglevel::kInfo).put("NodeDbClient is disconnected");
      // Asks and time-outs belong to this connection. The version is this connection's
      // server's too: the next server may be another one, and must answer for itself before
      // a constrained write is sent to it.
      CancelSchemaAsks();
      for (auto* timer : {&schema_timer_, &version_timer_}) {
        if (*timer) (*timer)->Cancel();
        timer->reset();
      }
      server_version_.clear();
      version_state_ = kNotAsked;
      NotifyChannelStatus(false);
      break;
    default:
      QBX_NDB_LOG(loglevel::kError).tag("NDB102").put("NodeDbClient::OnExit was called with an invalid state %i",
                                                      static_cast<int>(state));
      break;
  }
}

void NodeDbClient::RunConnectedActions() {
  if (monitor_sessions_enabled_) SetupAllSessions();
  NotifyChannelStatus(true);
  SendHead();
}

void NodeDbClient::RequestStub() {
  QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient: requesting stub to %s", endpoint_.uri().c_str());
  std::weak_ptr<NodeDbClient> weak = weak_from_this();
  provider_.rpc().stub_factory().create<DataStub>(
      "nodedb-client", endpoint_.uri(),
      [weak](const std::optional<DataStub>& stub, rpc::StubCreationStatus status) {
        auto self = weak.lock();
        if (!self) {
          QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient::SetStub: ignoring callback, client is already destroyed");
          return;
        }
        self->SetStub(stub, status);
      });
}

void NodeDbClient::RequestOpsStub() {
  QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient: requesting ops stub to %s", endpoint_.uri().c_str());
  std::weak_ptr<NodeDbClient> weak = weak_from_this();
  provider_.rpc().stub_factory().create<OpsStub>(
      "nodedb-client", endpoint_.uri(), [weak](const std::optional<OpsStub>& stub, rpc::StubCreationStatus status) {
        auto self = weak.lock();
        if (!self) {
          QBX_NDB_LOG(loglevel::kDebug).put(
              "NodeDbClient::SetOpsStub: ignoring callback, client is already destroyed");
          return;
        }
        self->SetOpsStub(stub, status);
      });
}

void NodeDbClient::RequestDaemonHealthStub() {
  QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient: requesting daemon health stub to %s", endpoint_.uri().c_str());
  std::weak_ptr<NodeDbClient> weak = weak_from_this();
  provider_.rpc().stub_factory().create<HealthStub>(
      "nodedb-client", endpoint_.uri(),
      [weak](const std::optional<HealthStub>& stub, rpc::StubCreationStatus status) {
        auto self = weak.lock();
        if (!self) {
          QBX_NDB_LOG(loglevel::kDebug).put(
              "NodeDbClient::SetDaemonHealthStub: ignoring callback, client is already destroyed");
          return;
        }
        self->SetDaemonHealthStub(stub, status);
      });
}

void NodeDbClient::ScheduleStubRetry(void (NodeDbClient::*request)(), const char* what) {
  const int64_t delay = retry_policy_.NextDelay();
  if (request == &NodeDbClient::RequestStub) {
    QBX_NDB_LOG(loglevel::kWarning).put("NodeDbClient: failed to get stub to %s, retrying in %li ms...",
                                        endpoint_.uri().c_str(), static_cast<long>(delay));
  } else {
    QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient: failed to get %s stub to %s, retrying in %li ms...", what,
                                      endpoint_.uri().c_str(), static_cast<long>(delay));
  }
  std::weak_ptr<NodeDbClient> weak = weak_from_this();
  const bool ops = request == &NodeDbClient::RequestOpsStub;
  retry_timer_ = timers_.Schedule(std::chrono::milliseconds(delay < 0 ? 0 : delay), [weak, request, ops] {
    auto self = weak.lock();
    if (!self) {
      if (ops) {
        QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient::RequestOpsStub: ignoring callback, client is already destroyed");
      } else {
        QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient::RequestStub: ignoring callback, client is already destroyed");
      }
      return;
    }
    {
      Lock lock(*self->mutex_);
      // A retry of a step the machine has left would request a stub nobody waits for.
      const State wanted = request == &NodeDbClient::RequestStub       ? CONNECTING
                           : request == &NodeDbClient::RequestOpsStub ? REQUEST_OPS_STUB
                                                                       : REQUEST_DAEMON_HEALTH_STUB;
      if (self->state_ == wanted) (self.get()->*request)();
    }
    self->RunDeferred();
  });
}

void NodeDbClient::SetStub(const std::optional<DataStub>& stub, rpc::StubCreationStatus status) {
  {
    Lock lock(*mutex_);
    if (status != rpc::StubCreationStatus::kCreated || !stub) {
      ScheduleStubRetry(&NodeDbClient::RequestStub, "");
    } else {
      QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient: got stub to %s", endpoint_.uri().c_str());
      data_stub_ = stub;
      const uint64_t generation = ++data_stub_generation_;
      std::weak_ptr<NodeDbClient> weak = weak_from_this();
      data_stub_->SetOnStreamDown(
          [weak, generation](rpc::CloseReason reason) { OnRpcStreamDown_(weak, generation, reason); });
      ChangeState(REQUEST_OPS_STUB);
    }
  }
  RunDeferred();
}

void NodeDbClient::SetOpsStub(const std::optional<OpsStub>& stub, rpc::StubCreationStatus status) {
  {
    Lock lock(*mutex_);
    if (state_ != REQUEST_OPS_STUB) {
      QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient: not in REQUEST_OPS_STUB state. Ignoring SetOpsStub callback");
    } else if (status != rpc::StubCreationStatus::kCreated || !stub) {
      ScheduleStubRetry(&NodeDbClient::RequestOpsStub, "ops");
    } else {
      QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient: got ops stub to %s", endpoint_.uri().c_str());
      ops_stub_ = stub;
      ChangeState(REQUEST_DAEMON_HEALTH_STUB);
    }
  }
  RunDeferred();
}

void NodeDbClient::SetDaemonHealthStub(const std::optional<HealthStub>& stub, rpc::StubCreationStatus status) {
  {
    Lock lock(*mutex_);
    if (state_ != REQUEST_DAEMON_HEALTH_STUB) {
      QBX_NDB_LOG(loglevel::kDebug).put(
          "NodeDbClient: not in REQUEST_DAEMON_HEALTH_STUB state. Ignoring SetDaemonHealthStub callback");
    } else if (status != rpc::StubCreationStatus::kCreated || !stub) {
      ScheduleStubRetry(&NodeDbClient::RequestDaemonHealthStub, "daemon health");
    } else {
      QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient: got daemon health stub to %s", endpoint_.uri().c_str());
      health_stub_ = stub;
      ChangeState(CONNECTED);
    }
  }
  RunDeferred();
}

void NodeDbClient::OnRpcStreamDown_(const std::weak_ptr<NodeDbClient>& weak, uint64_t generation,
                                    rpc::CloseReason reason) {
  auto self = weak.lock();
  if (!self) {
    QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient is already destroyed");
    return;
  }
  {
    Lock lock(*self->mutex_);
    QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient::OnRpcStreamDown: %s", rpc::CloseReasonToCStr(reason));
    // Only the stream of the data stub in use counts; a replaced stub's late notice would
    // tear down a good connection.
    if (generation == self->data_stub_generation_ && self->data_stub_) self->ChangeState(DISCONNECTED);
  }
  self->RunDeferred();
}

// ---------------------------------------------------------------- schema check

int32_t NodeDbClient::ParseObjectCount(const std::string& schema) {
  const std::string marker = "enum ObjectType {";
  const size_t begin = schema.find(marker);
  if (begin == std::string::npos) return 0;
  const size_t brace = schema.find('}', begin + marker.size());
  if (brace == std::string::npos) return 0;
  const std::string body = schema.substr(begin, brace - begin);
  std::vector<std::string> pieces;
  std::string current;
  for (char c : body) {
    if (c == ';') {
      if (!current.empty()) pieces.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) pieces.push_back(current);
  if (pieces.size() < 2) return 0;
  pieces.pop_back();  // the text after the last ";"
  const std::string& last = pieces.back();
  const size_t eq = last.find('=');
  if (eq == std::string::npos) return 0;
  std::string value = last.substr(eq + 1);
  const size_t start = value.find_first_not_of(' ');
  if (start == std::string::npos) return 0;
  value = value.substr(start);
  value = value.substr(0, value.find(' '));
  return std::atoi(value.c_str());
}

std::optional<int32_t> NodeDbClient::ObjectCountForVersion(const std::string& key) {
  static const std::map<std::string, int32_t> kTable = {
      {"3.0.0", 178}, {"3.0.1", 178}, {"3.0.2", 179}, {"3.0.3", 179}, {"3.1.0", 187},
      {"3.1.1", 188}, {"3.1.2", 188}, {"3.1.3", 188}, {"3.2.0", 217},
  };
  auto it = kTable.find(key);
  if (it == kTable.end()) return std::nullopt;
  return it->second;
}

namespace {
std::string AskingAgain(int64_t delay_ms) {
  return delay_ms > 0 ? "asking again in " + std::to_string(delay_ms) + " ms" : "asking again shortly";
}
}  // namespace

void NodeDbClient::StartSchemaCheck() {
  // Each connection decides afresh: what an earlier connection learnt (or its pending
  // time-outs and asks) must not decide for this one. The server's version is already
  // gone: the end of the connection forgot it, and nothing sets it between connections.
  schema_state_ = kNotAsked;
  version_state_ = kNotAsked;
  if (schema_timer_) schema_timer_->Cancel();
  schema_timer_.reset();
  if (version_timer_) version_timer_->Cancel();
  version_timer_.reset();
  CancelSchemaAsks();
  schema_ask_policy_.Reset();
  version_ask_policy_.Reset();
  AskSchema();
  AskSchemaVersion();
}

void NodeDbClient::AskSchema() {
  std::weak_ptr<NodeDbClient> weak = weak_from_this();
  const uint64_t connection = connected_count_;
  if (GetServerSchema([weak, connection](const std::string&, const std::string& schema, const rpc::Status& status) {
        if (auto self = weak.lock()) self->OnSchema(connection, schema, status);
      })) {
    // The time-out runs from the first request of the connection; asking again does not
    // put it off.
    if (schema_state_ == kNotAsked) {
      schema_state_ = kAsked;
      schema_timer_ = timers_.Schedule(std::chrono::seconds(response_timeout_s_), [weak, connection] {
        if (auto self = weak.lock()) self->OnSchemaTimeout(connection);
      });
    }
  } else {
    QBX_NDB_LOG(loglevel::kWarning).put("NodeDbClient: Failed to get server schema");
    ScheduleSchemaAsk(false);
  }
}

void NodeDbClient::AskSchemaVersion() {
  std::weak_ptr<NodeDbClient> weak = weak_from_this();
  const uint64_t connection = connected_count_;
  const bool asked = GetServerSchemaVersion([weak, connection](const std::string& version, const rpc::Status& status) {
    if (auto self = weak.lock()) self->OnSchemaVersion(connection, version, status);
  });
  // The window runs from the connection's first ask, taken or not: while an ended
  // connection's call is still open every ask is refused, and constrained writes, with every
  // write behind them, would otherwise wait for an answer for good. Asking again does not put
  // it off.
  if (!version_timer_) {
    version_timer_ = timers_.Schedule(std::chrono::seconds(response_timeout_s_), [weak, connection] {
      if (auto self = weak.lock()) self->OnSchemaVersionTimeout(connection);
    });
  }
  if (asked) {
    if (version_state_ == kNotAsked) version_state_ = kAsked;
  } else {
    QBX_NDB_LOG(loglevel::kWarning).put("NodeDbClient: Failed to get server schema version");
    ScheduleSchemaAsk(true);
  }
}

int64_t NodeDbClient::ScheduleSchemaAsk(bool version) {
  std::shared_ptr<Timer>& timer = version ? version_ask_timer_ : schema_ask_timer_;
  if (timer) return 0;
  const int64_t delay = std::max<int64_t>((version ? version_ask_policy_ : schema_ask_policy_).NextDelay(), 0);
  std::weak_ptr<NodeDbClient> weak = weak_from_this();
  const uint64_t connection = connected_count_;
  timer = timers_.Schedule(std::chrono::milliseconds(delay), [weak, version, connection] {
    auto self = weak.lock();
    if (!self) {
      QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient is already destroyed");
      return;
    }
    {
      Lock lock(*self->mutex_);
      (version ? self->version_ask_timer_ : self->schema_ask_timer_).reset();
      // The schema is asked until the decision is made; the version, which constrained
      // writes wait for, until this connection has it or its window has run out.
      const bool wanted = version ? self->VersionWanted() : !self->schema_checks_done_;
      if (self->CurrentConnection(connection) && wanted) {
        if (version) {
          self->AskSchemaVersion();
        } else {
          self->AskSchema();
        }
      }
    }
    self->RunDeferred();
  });
  return delay;
}

void NodeDbClient::CancelSchemaAsks() {
  CancelSchemaAsk(false);
  CancelSchemaAsk(true);
}

void NodeDbClient::CancelSchemaAsk(bool version) {
  std::shared_ptr<Timer>& timer = version ? version_ask_timer_ : schema_ask_timer_;
  if (timer) timer->Cancel();
  timer.reset();
}

bool NodeDbClient::SchemaDecision() {
  QBX_NDB_LOG(loglevel::kDebug).put("schema callback state %d, schema version callback state %d",
                                    static_cast<int>(schema_state_), static_cast<int>(version_state_));
  if (schema_checks_done_) return true;
  if (schema_state_ == kAnswered) {
    schema_checks_done_ = true;
    return true;
  }
  std::string key;
  if (version_state_ == kTimedOut) {
    key = "3.0.0";
  } else if (version_state_ == kAnswered) {
    key = server_version_.substr(0, 5);
  }
  auto count = ObjectCountForVersion(key);
  if (!count) return false;
  object_count_ = *count;
  QBX_NDB_LOG(loglevel::kDebug).put("Found %d objects in server schema", object_count_);
  schema_checks_done_ = true;
  return true;
}

void NodeDbClient::AfterSchemaEvent(bool undecided_by_this_event, const std::string& what) {
  if (schema_checks_done_) return;
  if (SchemaDecision()) {
    CancelSchemaAsk(false);
    if (!VersionWanted()) CancelSchemaAsk(true);
    if (state_ == CONNECTED) RunConnectedActions();
    return;
  }
  if (!undecided_by_this_event) return;
  const std::string schema = schema_state_ == kTimedOut ? "schema request timed out" : "no usable schema answer";
  const std::string version = version_state_ == kAnswered
                                  ? "server version " + server_version_ + " is not in the version table"
                                  : "no version answer";
  QBX_NDB_LOG(loglevel::kWarning).put(
      "NodeDbClient: no server schema decision on this connection yet (%s; %s; %s): nothing is monitored or "
      "written and the channel is not reported up until one is made",
      what.c_str(), schema.c_str(), version.c_str());
}

void NodeDbClient::OnSchema(uint64_t connection, const std::string& schema, const rpc::Status& status) {
  QBX_NDB_LOG(loglevel::kInfo).put("Got NodeDbSchema Response");
  {
    Lock lock(*mutex_);
    schema_idle_ = true;
    // Only a real answer decides: a failed call, or a text without object types, would make
    // every object type unsupported and erase every monitor statement and write. It is
    // asked again while the decision is pending; the time-out or the version answer may
    // decide meanwhile.
    const int32_t count = status.ok() ? ParseObjectCount(schema) : 0;
    if (!CurrentConnection(connection)) {
      QBX_NDB_LOG(loglevel::kDebug).put("Ignoring a schema answer of an earlier connection");
    } else if (!status.ok() || count <= 0) {
      const std::string why =
          !status.ok() ? "GetServerSchema failed (" + status.ToString() + ")" : "server schema names no object types";
      QBX_NDB_LOG(loglevel::kWarning).put("NodeDbClient: %s; not taken as an answer", why.c_str());
      if (!schema_checks_done_ && state_ == CONNECTED) {
        AfterSchemaEvent(true, why + ", " + AskingAgain(ScheduleSchemaAsk(false)));
      }
    } else {
      schema_state_ = kAnswered;
      schema_ = schema;
      if (schema_timer_) schema_timer_->Cancel();
      schema_timer_.reset();
      if (!schema_checks_done_) {
        object_count_ = count;
        QBX_NDB_LOG(loglevel::kDebug).put("Found %d objects in server schema", object_count_);
        AfterSchemaEvent(false, "");
      }
    }
  }
  RunDeferred();
}

void NodeDbClient::OnSchemaTimeout(uint64_t connection) {
  QBX_NDB_LOG(loglevel::kInfo).put("Timeout on GetServerSchema request");
  {
    Lock lock(*mutex_);
    if (CurrentConnection(connection)) {
      schema_state_ = kTimedOut;
      AfterSchemaEvent(true, "GetServerSchema timed out");
    }
  }
  RunDeferred();
}

void NodeDbClient::OnSchemaVersion(uint64_t connection, const std::string& version, const rpc::Status& status) {
  QBX_NDB_LOG(loglevel::kInfo).put("Got NodeDb Server schema version %s", version.c_str());
  {
    Lock lock(*mutex_);
    version_idle_ = true;
    if (!CurrentConnection(connection)) {
      QBX_NDB_LOG(loglevel::kDebug).put("Ignoring a schema version answer of an earlier connection");
    } else if (!status.ok()) {
      // Not an answer: asked again until this connection has one, also once the schema has
      // decided (constrained writes wait for it); the version time-out may end the wait.
      const bool ask = state_ == CONNECTED && VersionWanted();
      const std::string again = ask ? AskingAgain(ScheduleSchemaAsk(true)) : "not asking again";
      QBX_NDB_LOG(loglevel::kWarning).put("NodeDbClient: GetServerSchemaVersion failed (%s); not taken as an answer, %s",
                                          status.ToString().c_str(), again.c_str());
      if (ask && !schema_checks_done_) {
        AfterSchemaEvent(true, "GetServerSchemaVersion failed (" + status.ToString() + "), " + again);
      }
    } else {
      version_state_ = kAnswered;
      server_version_ = version;
      if (version_timer_) version_timer_->Cancel();
      version_timer_.reset();
      CancelSchemaAsk(true);
      AfterSchemaEvent(true, "the schema is still needed");
      // Writes held for this connection's version go now, checked against it.
      SendHead();
    }
  }
  RunDeferred();
}

void NodeDbClient::OnSchemaVersionTimeout(uint64_t connection) {
  QBX_NDB_LOG(loglevel::kInfo).put("Timeout on server schema version request");
  {
    Lock lock(*mutex_);
    if (CurrentConnection(connection) && VersionWanted()) {
      version_state_ = kTimedOut;
      server_version_ = "0";
      CancelSchemaAsk(true);
      AfterSchemaEvent(true, "GetServerSchemaVersion timed out");
      // The window is over: writes held for the version go now, and a constrained one is
      // refused, as no version answered meets a constraint.
      SendHead();
    }
  }
  RunDeferred();
}

bool NodeDbClient::IsObjectInServerSchema(const zumbra::qbx::nodedb::ObjectType& type) {
  Lock lock(*mutex_);
  QBX_NDB_LOG(loglevel::kDebug).put("Checking object type %s in server schema",
                                    zumbra::qbx::nodedb::ObjectType_Name(type).c_str());
  if (object_count_ == 0) {
    QBX_NDB_LOG(loglevel::kWarning).put("server schema not known yet!");
    return false;
  }
  return static_cast<int32_t>(type) <= object_count_;
}

bool NodeDbClient::SetVersionConstraint(zumbra::qbx::nodedb::ObjectType type, const std::string& version,
                                        const std::function<void(const zumbra::qbx::nodedb::ObjectType&)>& callback) {
  Lock lock(*mutex_);
  if (version_constraints_.count(type) != 0) {
    QBX_NDB_LOG(loglevel::kDebug).put("Object type %s already inserted to version constraint map",
                                      zumbra::qbx::nodedb::ObjectType_Name(type).c_str());
    return false;
  }
  version_constraints_.emplace(type, std::make_pair(version, callback));
  // Writes already queued may be of that type.
  for (auto& entry : pending_) MarkConstrained(entry);
  return true;
}

namespace {
// A version as its numbers: decimal digits only between the dots (no sign, no space, no
// other text, no empty piece); nullopt for anything else, an empty text included.
std::optional<std::vector<uint64_t>> VersionNumbers(const std::string& text) {
  std::vector<uint64_t> numbers;
  size_t begin = 0;
  for (;;) {
    const size_t dot = std::min(text.find('.', begin), text.size());
    uint64_t value = 0;
    const char* first = text.data() + begin;
    const char* last = text.data() + dot;
    auto [ptr, ec] = std::from_chars(first, last, value);
    if (first == last || ec != std::errc() || ptr != last) return std::nullopt;
    numbers.push_back(value);
    if (dot == text.size()) return numbers;
    begin = dot + 1;
  }
}
}  // namespace

std::optional<bool> NodeDbClient::VersionMeets(const std::string& server, const std::string& minimum) {
  // Both texts must be versions as a whole, also beyond the pieces that are compared: a
  // malformed constraint then fails against every server, and a malformed or missing server
  // version fails every constraint, instead of being read as the numbers it starts with.
  const auto have = VersionNumbers(server);
  const auto need = VersionNumbers(minimum);
  if (!have || !need) return std::nullopt;
  const size_t compared = std::min(have->size(), need->size());
  for (size_t i = 0; i < compared; ++i) {
    if ((*have)[i] != (*need)[i]) return (*have)[i] > (*need)[i];
  }
  return true;
}

bool NodeDbClient::CheckVersionConstraint(zumbra::qbx::nodedb::ObjectType type) {
  bool ok = true;
  {
    Lock lock(*mutex_);
    ok = CheckVersionConstraintLocked(type);
  }
  RunDeferred();
  return ok;
}

bool NodeDbClient::CheckVersionConstraintLocked(zumbra::qbx::nodedb::ObjectType type) {
  auto it = version_constraints_.find(type);
  if (it == version_constraints_.end()) return true;
  const std::string type_name = zumbra::qbx::nodedb::ObjectType_Name(type);
  // The first piece that differs decides, so a newer server (4.0.0) meets an older minimum
  // (3.1) even where a later piece is smaller.
  const auto meets = VersionMeets(server_version_, it->second.first);
  if (!meets) {
    QBX_NDB_LOG(loglevel::kWarning).put(
        "NodeDbClient: cannot compare server version \"%s\" with the version constraint \"%s\" of object %s (a "
        "version is numbers separated by dots); the constraint is taken as not met",
        server_version_.c_str(), it->second.first.c_str(), type_name.c_str());
  }
  if (meets.value_or(false)) return true;
  QBX_NDB_LOG(loglevel::kInfo).put(
      "Version check fails for object %s, server schema version = %s,object version = %s", type_name.c_str(),
      server_version_.c_str(), it->second.first.c_str());
  // The owner of the constraint hears of it on the loop thread, after the lock is released.
  if (auto callback = it->second.second) Defer([callback, type] { callback(type); });
  return false;
}

void NodeDbClient::SetVersionResponseTimeout(int64_t seconds) {
  Lock lock(*mutex_);
  response_timeout_s_ = seconds;
}

}  // namespace nodedb
}  // namespace qbx
