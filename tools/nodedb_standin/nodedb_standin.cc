#include "tools/nodedb_standin/nodedb_standin.h"

#include <deque>
#include <functional>
#include <set>
#include <thread>
#include <unordered_map>

#include <google/protobuf/descriptor.h>
#include <grpcpp/server_context.h>
#include <grpcpp/support/server_callback.h>

#include "platform/rpc/server_builder.h"
#include "platform/rpc/status.h"
#include "zumbra/qbx/daemon/daemon_health.grpc.pb.h"
#include "zumbra/qbx/nodedb/nodedb.grpc.pb.h"

namespace qbx {
namespace tools {

namespace pb = zumbra::qbx::nodedb;

std::string SchemaText() {
  const auto* e = pb::ObjectType_descriptor();
  std::string text = "enum ObjectType {\n";
  for (int i = 0; i < e->value_count(); ++i) {
    text += "  " + e->value(i)->name() + " = " + std::to_string(e->value(i)->number()) + ";\n";
  }
  text += "}\n";
  return text;
}

namespace {

// Most updates one monitor response carries; a larger snapshot is split.
constexpr int kMaxUpdatesPerResponse = 1000;
// Responses a monitor stream may queue for a slow reader before it is reset.
constexpr size_t kMaxQueuedResponses = 10000;

bool Matches(const pb::StatementMsg& statement, const std::string& key) {
  for (const auto& w : statement.where()) {
    if (w.column() != "key") continue;
    if (w.op() == "!=" ? key == w.value() : key != w.value()) return false;
  }
  return true;
}

using Table = std::map<std::string, std::string>;
using Database = std::map<int, Table>;

}  // namespace

class MonitorStream;
class ModifyCall;

struct NodeDbStandin::State : std::enable_shared_from_this<NodeDbStandin::State> {
  explicit State(Options o) : options(std::move(o)), schema_version(options.schema_version) {}

  // Appends responses with the given changes to every matching stream of the VDb; called
  // with the mutex held. Returns the streams to kick once the mutex is released.
  std::vector<std::shared_ptr<MonitorStream>> Notify(uint32_t vdb, const std::vector<pb::MonitorUpdateMsg>& updates);
  // Applies one batch; called with the mutex held.
  std::vector<std::shared_ptr<MonitorStream>> Apply(const std::vector<pb::ModifyRequestMsg>& requests);
  void FinishModify(const std::shared_ptr<ModifyCall>& call, const rpc::Status& status);
  void CompleteModify(const std::shared_ptr<ModifyCall>& call);

  Options options;
  mutable std::mutex mutex;  // guards everything below
  std::map<uint32_t, Database> data;
  std::map<std::string, uint32_t> vdb_names{{"default", 1}};
  uint32_t next_vdb = 2;
  std::unique_ptr<rpc::Server> server;
  std::vector<std::unique_ptr<grpc::Service>> services;
  int port = 0;
  std::unordered_map<MonitorStream*, std::shared_ptr<MonitorStream>> streams;
  std::vector<std::shared_ptr<ModifyCall>> held;
  bool hold_next = false;
  uint64_t hold_skip = 0;  // calls still answered as usual before the held one
  std::optional<uint32_t> fail_next;
  uint64_t modify_calls = 0;
  uint64_t applied = 0;
  uint64_t monitor_calls = 0;
  uint64_t barrier_sequence = 0;
  // Set from the start of Stop until the next Start: the server is cancelling its calls, and
  // a call whose reading ends now may have lost the rest of its batch to the cancellation.
  bool stopping = false;
  // Schema requests.
  std::string schema_version;
  SchemaAnswer schema_answer = SchemaAnswer::kAnswer;
  SchemaAnswer version_answer = SchemaAnswer::kAnswer;
  uint32_t schema_fail_code = 13;
  // Held schema requests: each finishes its reactor with the given status.
  std::vector<std::function<void(const rpc::Status&)>> held_schema;
  // Servers replaced by RestartDraining, each shut down on its own thread; joined by Stop.
  std::vector<std::thread> draining;
};

// ---------------------------------------------------------------- monitor stream

class MonitorStream : public grpc::ServerWriteReactor<pb::MonitorResponseMsg> {
 public:
  MonitorStream(std::weak_ptr<NodeDbStandin::State> owner, grpc::CallbackServerContext* context,
                const pb::MonitorRequestMsg& request)
      : owner_(std::move(owner)), context_(context), vdb_(request.vdb_id() == 0 ? 1 : request.vdb_id()),
        id_(request.monitor_request_id()) {
    for (const auto& s : request.statement()) statements_[s.object().object_type()] = s.object();
  }

  // Called with the owner's mutex held: only queues.
  void Queue(pb::MonitorResponseMsg response) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finishing_) return;
    if (queue_.size() >= kMaxQueuedResponses) {
      // A reader this slow gets a fresh session (and snapshot) instead of unbounded memory.
      queue_.clear();
      finishing_ = true;
      finish_code_ = rpc::StatusCode::kSessionReset;
      return;
    }
    queue_.push_back(std::move(response));
  }
  void RequestFinish(uint32_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finishing_) return;
    finishing_ = true;
    finish_code_ = code;
  }
  // Starts the next write or the finish; called without any lock.
  void Kick() {
    enum { kNone, kWrite, kFinish } action = kNone;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (writing_ || finished_) return;
      if (!queue_.empty() && !(finishing_ && finish_code_ != rpc::StatusCode::kOk && cancelled_)) {
        current_ = std::move(queue_.front());
        queue_.pop_front();
        writing_ = true;
        action = kWrite;
      } else if (finishing_) {
        finished_ = true;
        action = kFinish;
      }
    }
    if (action == kWrite) StartWrite(&current_);
    if (action == kFinish) Finish(rpc::Status::ToGrpc(rpc::Status(finish_code_, "monitor ended"), context_));
  }

  void OnWriteDone(bool ok) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      writing_ = false;
      if (!ok) {
        queue_.clear();
        finishing_ = true;
        cancelled_ = true;
      }
    }
    Kick();
  }
  void OnCancel() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.clear();
      cancelled_ = true;
      if (!finishing_) {
        finishing_ = true;
        finish_code_ = rpc::StatusCode::kCancelled;
      }
    }
    Kick();
  }
  void OnDone() override {
    if (auto owner = owner_.lock()) {
      std::shared_ptr<MonitorStream> keep;
      std::lock_guard<std::mutex> lock(owner->mutex);
      auto it = owner->streams.find(this);
      if (it != owner->streams.end()) {
        keep = std::move(it->second);
        owner->streams.erase(it);
      }
      // `keep` goes after the lock: this object may be freed with it.
    }
  }

  uint32_t vdb() const { return vdb_; }
  const std::string& id() const { return id_; }
  std::map<int, pb::StatementMsg>& statements() { return statements_; }

 private:
  std::weak_ptr<NodeDbStandin::State> owner_;
  grpc::CallbackServerContext* context_;
  const uint32_t vdb_;
  const std::string id_;
  std::map<int, pb::StatementMsg> statements_;  // guarded by the owner's mutex

  std::mutex mutex_;  // guards the fields below
  std::deque<pb::MonitorResponseMsg> queue_;
  pb::MonitorResponseMsg current_;
  bool writing_ = false;
  bool finishing_ = false;
  bool finished_ = false;
  bool cancelled_ = false;
  uint32_t finish_code_ = rpc::StatusCode::kOk;
};

// Queues a snapshot of `types` (all monitored types when empty) for `stream`, with a barrier.
void QueueSnapshot(NodeDbStandin::State& st, MonitorStream& stream, const std::set<int>& types,
                   uint64_t& barrier_sequence) {
  pb::MonitorResponseMsg response;
  const Database& db = st.data[stream.vdb()];
  for (const auto& [type, statement] : stream.statements()) {
    if (!types.empty() && types.count(type) == 0) continue;
    auto table = db.find(type);
    if (table == db.end()) continue;
    for (const auto& [key, value] : table->second) {
      if (!Matches(statement, key)) continue;
      auto* u = response.add_update();
      u->set_object_type(static_cast<pb::ObjectType>(type));
      u->set_kind(pb::MonitorUpdateMsg::SNAPSHOT);
      u->mutable_object()->set_object_type(static_cast<pb::ObjectType>(type));
      u->mutable_object()->set_key(key);
      u->mutable_object()->set_value(value);
      if (response.update_size() >= kMaxUpdatesPerResponse) {
        stream.Queue(std::move(response));
        response.Clear();
      }
    }
  }
  response.mutable_barrier()->set_flag(true);
  response.mutable_barrier()->set_sequence(++barrier_sequence);
  stream.Queue(std::move(response));
}

std::vector<std::shared_ptr<MonitorStream>> NodeDbStandin::State::Notify(
    uint32_t vdb, const std::vector<pb::MonitorUpdateMsg>& updates) {
  std::vector<std::shared_ptr<MonitorStream>> kicked;
  for (auto& [raw, stream] : streams) {
    if (stream->vdb() != vdb) continue;
    pb::MonitorResponseMsg response;
    for (const auto& u : updates) {
      auto s = stream->statements().find(u.object_type());
      if (s == stream->statements().end() || !Matches(s->second, u.object().key())) continue;
      *response.add_update() = u;
    }
    if (response.update_size() == 0) continue;
    response.mutable_barrier()->set_flag(true);
    response.mutable_barrier()->set_sequence(++barrier_sequence);
    stream->Queue(std::move(response));
    kicked.push_back(stream);
  }
  return kicked;
}

std::vector<std::shared_ptr<MonitorStream>> NodeDbStandin::State::Apply(
    const std::vector<pb::ModifyRequestMsg>& requests) {
  std::map<uint32_t, std::vector<pb::MonitorUpdateMsg>> changes;
  auto record = [&](uint32_t vdb, int type, const std::string& key, const std::string* value) {
    pb::MonitorUpdateMsg u;
    u.set_object_type(static_cast<pb::ObjectType>(type));
    u.set_kind(value ? pb::MonitorUpdateMsg::PUT : pb::MonitorUpdateMsg::DELETE);
    u.mutable_object()->set_object_type(static_cast<pb::ObjectType>(type));
    u.mutable_object()->set_key(key);
    if (value) u.mutable_object()->set_value(*value);
    changes[vdb].push_back(std::move(u));
  };
  auto targets = [](const google::protobuf::RepeatedField<uint32_t>& ids) {
    std::vector<uint32_t> out(ids.begin(), ids.end());
    if (out.empty()) out.push_back(1);
    return out;
  };
  for (const auto& request : requests) {
    for (const auto& m : request.modify()) {
      ++applied;
      if (m.has_put()) {
        for (uint32_t vdb : targets(m.put().vdb_id())) {
          const auto& o = m.put().object();
          data[vdb][o.object_type()][o.key()] = o.value();
          record(vdb, o.object_type(), o.key(), &o.value());
        }
      } else if (m.has_del()) {
        for (uint32_t vdb : targets(m.del().vdb_id())) {
          const auto& o = m.del().object();
          if (data[vdb][o.object_type()].erase(o.key()) != 0) record(vdb, o.object_type(), o.key(), nullptr);
        }
      } else if (m.has_flush()) {
        for (uint32_t vdb : targets(m.flush().vdb_id())) {
          auto& table = data[vdb][m.flush().object_type()];
          for (const auto& [key, value] : table) record(vdb, m.flush().object_type(), key, nullptr);
          table.clear();
        }
      } else if (m.has_patch()) {
        for (uint32_t vdb : targets(m.patch().vdb_id())) {
          auto& table = data[vdb][m.patch().object_type()];
          auto row = table.find(m.patch().key());
          if (row == table.end()) continue;
          row->second = m.patch().value();
          record(vdb, m.patch().object_type(), row->first, &row->second);
        }
      } else if (m.has_copy()) {
        const uint32_t source = m.copy().has_source_vdb_id() ? m.copy().source_vdb_id() : 1;
        const auto& o = m.copy().object();
        auto& from = data[source][o.object_type()];
        auto row = from.find(o.key());
        if (row == from.end()) continue;
        const std::string value = row->second;
        for (uint32_t vdb : targets(m.copy().vdb_id())) {
          data[vdb][o.object_type()][o.key()] = value;
          record(vdb, o.object_type(), o.key(), &value);
        }
      }
    }
  }
  std::vector<std::shared_ptr<MonitorStream>> kicked;
  for (const auto& [vdb, updates] : changes) {
    auto k = Notify(vdb, updates);
    kicked.insert(kicked.end(), k.begin(), k.end());
  }
  return kicked;
}

// ---------------------------------------------------------------- modify call

class ModifyCall : public grpc::ServerReadReactor<pb::ModifyRequestMsg>,
                   public std::enable_shared_from_this<ModifyCall> {
 public:
  ModifyCall(std::weak_ptr<NodeDbStandin::State> owner, grpc::CallbackServerContext* context,
             pb::ModifyResponseMsg* response)
      : owner_(std::move(owner)), context_(context), response_(response) {}

  void Begin(std::shared_ptr<ModifyCall> self) {
    self_ = std::move(self);
    StartRead(&request_);
  }

  void OnReadDone(bool ok) override {
    if (ok) {
      requests_.push_back(request_);
      StartRead(&request_);
      return;
    }
    auto owner = owner_.lock();
    if (!owner || context_->IsCancelled()) {
      // A call that did not end its writing side is no complete batch: apply nothing.
      Complete(rpc::Status(rpc::StatusCode::kCancelled, "cancelled"));
      return;
    }
    owner->CompleteModify(shared_from_this());
  }
  void OnCancel() override {}
  void OnDone() override { self_.reset(); }

  // Answers once; called without the owner's mutex.
  void Complete(const rpc::Status& status) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (finished_) return;
      finished_ = true;
    }
    Finish(rpc::Status::ToGrpc(status, context_));
  }

  const std::vector<pb::ModifyRequestMsg>& requests() const { return requests_; }
  pb::ModifyResponseMsg* response() { return response_; }

 private:
  std::weak_ptr<NodeDbStandin::State> owner_;
  grpc::CallbackServerContext* context_;
  pb::ModifyResponseMsg* response_;
  pb::ModifyRequestMsg request_;
  std::vector<pb::ModifyRequestMsg> requests_;
  std::shared_ptr<ModifyCall> self_;  // alive until OnDone
  std::mutex mutex_;
  bool finished_ = false;
};

void NodeDbStandin::State::CompleteModify(const std::shared_ptr<ModifyCall>& call) {
  std::vector<std::shared_ptr<MonitorStream>> kicked;
  rpc::Status status;
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++modify_calls;
    if (stopping) {
      // The end of reading may be the shutdown's cancellation rather than the client's
      // half-close: applying now could apply part of a batch and confirm all of it.
      status = rpc::Status(rpc::StatusCode::kUnavailable, "stopping");
    } else if (hold_next && hold_skip == 0) {
      hold_next = false;
      held.push_back(call);
      return;
    } else {
      if (hold_next) --hold_skip;
      if (fail_next) {
        status = rpc::Status(*fail_next, "modification refused");
        fail_next.reset();
      } else {
        const uint64_t before = applied;
        kicked = Apply(call->requests());
        call->response()->set_applied(static_cast<uint32_t>(applied - before));
      }
    }
  }
  for (auto& s : kicked) s->Kick();
  call->Complete(status);
}

// ---------------------------------------------------------------- services

namespace {

class NodeDbService : public pb::NodeDb::CallbackService {
 public:
  explicit NodeDbService(std::weak_ptr<NodeDbStandin::State> owner) : owner_(std::move(owner)) {}

  grpc::ServerWriteReactor<pb::MonitorResponseMsg>* Monitor(grpc::CallbackServerContext* context,
                                                            const pb::MonitorRequestMsg* request) override {
    auto stream = std::make_shared<MonitorStream>(owner_, context, *request);
    auto owner = owner_.lock();
    if (!owner) {
      stream->RequestFinish(rpc::StatusCode::kUnavailable);
    } else {
      std::lock_guard<std::mutex> lock(owner->mutex);
      ++owner->monitor_calls;
      owner->streams.emplace(stream.get(), stream);
      QueueSnapshot(*owner, *stream, {}, owner->barrier_sequence);
    }
    stream->Kick();
    return stream.get();
  }

  grpc::ServerUnaryReactor* ConfigureMonitor(grpc::CallbackServerContext* context,
                                             const pb::ConfigureMonitorRequestMsg* request,
                                             pb::ConfigureMonitorResponseMsg* response) override {
    auto* reactor = context->DefaultReactor();
    auto owner = owner_.lock();
    if (!owner) {
      reactor->Finish(rpc::Status::ToGrpc(rpc::Status(rpc::StatusCode::kUnavailable, "stopping"), context));
      return reactor;
    }
    std::shared_ptr<MonitorStream> target;
    rpc::Status status;
    {
      std::lock_guard<std::mutex> lock(owner->mutex);
      const uint32_t vdb = request->vdb_id() == 0 ? 1 : request->vdb_id();
      for (auto& [raw, s] : owner->streams) {
        if (s->id() == request->monitor_request_id() && s->vdb() == vdb) target = s;
      }
      if (!target) {
        status = rpc::Status(rpc::StatusCode::kUnknownObject, "no such monitor");
      } else {
        std::set<int> added;
        for (const auto& r : request->remove()) target->statements().erase(r.object().object_type());
        for (const auto& a : request->add()) {
          target->statements()[a.object().object_type()] = a.object();
          added.insert(a.object().object_type());
        }
        for (const auto& u : request->update()) {
          auto s = target->statements().find(u.object_type());
          if (s == target->statements().end()) continue;
          auto* where = s->second.mutable_where();
          for (const auto& gone : u.remove_where()) {
            for (int i = 0; i < where->size(); ++i) {
              if (where->Get(i).SerializeAsString() == gone.SerializeAsString()) {
                where->DeleteSubrange(i, 1);
                break;
              }
            }
          }
          for (const auto& extra : u.add_where()) *where->Add() = extra;
          added.insert(u.object_type());
        }
        if (!added.empty()) QueueSnapshot(*owner, *target, added, owner->barrier_sequence);
        for (const auto& [type, statement] : target->statements()) {
          *response->add_monitored()->mutable_object() = statement;
        }
      }
    }
    if (target) target->Kick();
    reactor->Finish(rpc::Status::ToGrpc(status, context));
    return reactor;
  }

  grpc::ServerReadReactor<pb::ModifyRequestMsg>* Modify(grpc::CallbackServerContext* context,
                                                        pb::ModifyResponseMsg* response) override {
    auto call = std::make_shared<ModifyCall>(owner_, context, response);
    call->Begin(call);
    return call.get();
  }

  grpc::ServerUnaryReactor* Get(grpc::CallbackServerContext* context, const pb::GetRequestMsg* request,
                                pb::GetResponseMsg* response) override {
    auto* reactor = context->DefaultReactor();
    if (auto owner = owner_.lock()) {
      std::lock_guard<std::mutex> lock(owner->mutex);
      const Database& db = owner->data[request->vdb_id() == 0 ? 1 : request->vdb_id()];
      for (const auto& r : request->object()) {
        auto table = db.find(r.object_type());
        if (table == db.end()) continue;
        for (const auto& [key, value] : table->second) {
          if (r.has_key() && r.key() != key) continue;
          auto* o = response->add_object();
          o->set_object_type(r.object_type());
          o->set_key(key);
          o->set_value(value);
        }
      }
    }
    reactor->Finish(rpc::Status::ToGrpc(rpc::Status(), context));
    return reactor;
  }

  grpc::ServerUnaryReactor* Query(grpc::CallbackServerContext* context, const pb::QueryRequestMsg* request,
                                  pb::QueryResponseMsg* response) override {
    auto* reactor = context->DefaultReactor();
    if (auto owner = owner_.lock()) {
      std::lock_guard<std::mutex> lock(owner->mutex);
      const Database& db = owner->data[request->vdb_id() == 0 ? 1 : request->vdb_id()];
      auto table = db.find(request->statement().object_type());
      if (table != db.end()) {
        for (const auto& [key, value] : table->second) {
          if (!Matches(request->statement(), key)) continue;
          auto* o = response->add_object();
          o->set_object_type(request->statement().object_type());
          o->set_key(key);
          o->set_value(value);
        }
      }
    }
    reactor->Finish(rpc::Status::ToGrpc(rpc::Status(), context));
    return reactor;
  }

  grpc::ServerUnaryReactor* CreateVDb(grpc::CallbackServerContext* context, const pb::CreateVDbRequestMsg* request,
                                      pb::CreateVDbResponseMsg* response) override {
    auto* reactor = context->DefaultReactor();
    rpc::Status status;
    if (auto owner = owner_.lock()) {
      std::lock_guard<std::mutex> lock(owner->mutex);
      auto it = owner->vdb_names.find(request->name());
      if (request->name().empty()) {
        status = rpc::Status(rpc::StatusCode::kInvalidRequest, "empty name");
      } else if (it != owner->vdb_names.end()) {
        response->set_vdb_id(it->second);
      } else {
        const uint32_t id = owner->next_vdb++;
        owner->vdb_names[request->name()] = id;
        response->set_vdb_id(id);
      }
    }
    reactor->Finish(rpc::Status::ToGrpc(status, context));
    return reactor;
  }

  grpc::ServerUnaryReactor* DeleteVDb(grpc::CallbackServerContext* context, const pb::DeleteVDbRequestMsg* request,
                                      pb::DeleteVDbResponseMsg*) override {
    auto* reactor = context->DefaultReactor();
    rpc::Status status;
    if (auto owner = owner_.lock()) {
      std::lock_guard<std::mutex> lock(owner->mutex);
      auto it = owner->vdb_names.find(request->name());
      if (it == owner->vdb_names.end() || it->second == 1) {
        status = rpc::Status(rpc::StatusCode::kUnknownObject, "no such vdb");
      } else {
        owner->data.erase(it->second);
        owner->vdb_names.erase(it);
      }
    }
    reactor->Finish(rpc::Status::ToGrpc(status, context));
    return reactor;
  }

  grpc::ServerUnaryReactor* GetVDbId(grpc::CallbackServerContext* context, const pb::GetVDbIdRequestMsg* request,
                                     pb::GetVDbIdResponseMsg* response) override {
    auto* reactor = context->DefaultReactor();
    if (auto owner = owner_.lock()) {
      std::lock_guard<std::mutex> lock(owner->mutex);
      for (const auto& [name, id] : owner->vdb_names) {
        bool wanted = request->name_size() == 0;
        for (const auto& n : request->name()) wanted = wanted || n == name;
        if (!wanted) continue;
        auto* v = response->add_vdb();
        v->set_name(name);
        v->set_vdb_id(id);
      }
    }
    reactor->Finish(rpc::Status::ToGrpc(rpc::Status(), context));
    return reactor;
  }

 private:
  std::weak_ptr<NodeDbStandin::State> owner_;
};

class OpsService : public pb::NodeDbOps::CallbackService {
 public:
  explicit OpsService(std::weak_ptr<NodeDbStandin::State> owner) : owner_(std::move(owner)) {}
  grpc::ServerUnaryReactor* GetSchema(grpc::CallbackServerContext* context, const pb::GetSchemaRequestMsg*,
                                      pb::GetSchemaResponseMsg* response) override {
    response->set_name("nodedb");
    response->set_schema(SchemaText());
    return Answer(context, false);
  }
  grpc::ServerUnaryReactor* GetSchemaVersion(grpc::CallbackServerContext* context,
                                             const pb::GetSchemaVersionRequestMsg*,
                                             pb::GetSchemaVersionResponseMsg* response) override {
    if (auto owner = owner_.lock()) {
      std::lock_guard<std::mutex> lock(owner->mutex);
      response->set_version(owner->schema_version);
    }
    return Answer(context, true);
  }

 private:
  using SchemaAnswer = NodeDbStandin::SchemaAnswer;

  // Finishes the call now, fails it, or holds it until ReleaseSchemaRequests (or Stop).
  grpc::ServerUnaryReactor* Answer(grpc::CallbackServerContext* context, bool version) {
    auto* reactor = context->DefaultReactor();
    rpc::Status status;
    if (auto owner = owner_.lock()) {
      std::lock_guard<std::mutex> lock(owner->mutex);
      const SchemaAnswer answer = version ? owner->version_answer : owner->schema_answer;
      if (answer == SchemaAnswer::kHold) {
        owner->held_schema.push_back(
            [reactor, context](const rpc::Status& s) { reactor->Finish(rpc::Status::ToGrpc(s, context)); });
        return reactor;
      }
      if (answer == SchemaAnswer::kFail) status = rpc::Status(owner->schema_fail_code, "schema request refused");
    }
    reactor->Finish(rpc::Status::ToGrpc(status, context));
    return reactor;
  }

  std::weak_ptr<NodeDbStandin::State> owner_;
};

class HealthService : public zumbra::qbx::daemon::DaemonHealth::CallbackService {
 public:
  grpc::ServerUnaryReactor* Echo(grpc::CallbackServerContext* context, const zumbra::qbx::daemon::EchoMsg* request,
                                 zumbra::qbx::daemon::EchoMsg* response) override {
    response->set_text(request->text());
    auto* reactor = context->DefaultReactor();
    reactor->Finish(rpc::Status::ToGrpc(rpc::Status(), context));
    return reactor;
  }
};

}  // namespace

// ---------------------------------------------------------------- NodeDbStandin

NodeDbStandin::NodeDbStandin(Options options) : state_(std::make_shared<State>(std::move(options))) {}

NodeDbStandin::~NodeDbStandin() { Stop(); }

bool NodeDbStandin::Start() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->server) return true;
  net::Endpoint endpoint(state_->options.endpoint);
  if (state_->port != 0) {
    endpoint = net::Endpoint("tcp://" + std::string(endpoint.host()) + ":" + std::to_string(state_->port));
  }
  std::vector<std::unique_ptr<grpc::Service>> services;
  services.push_back(std::make_unique<NodeDbService>(state_));
  services.push_back(std::make_unique<OpsService>(state_));
  services.push_back(std::make_unique<HealthService>());
  rpc::ServerBuilder builder;
  builder.AddListeningPort(endpoint)
      .RegisterService<pb::NodeDb>(services[0].get())
      .RegisterService<pb::NodeDbOps>(services[1].get())
      .RegisterService<zumbra::qbx::daemon::DaemonHealth>(services[2].get());
  auto server = builder.BuildStarted();
  if (!server) return false;
  state_->port = server->port();
  state_->server = std::move(server);
  state_->stopping = false;
  state_->services = std::move(services);
  return true;
}

void NodeDbStandin::Stop() {
  std::unique_ptr<rpc::Server> server;
  std::vector<std::unique_ptr<grpc::Service>> services;
  std::vector<std::shared_ptr<ModifyCall>> held;
  std::vector<std::shared_ptr<MonitorStream>> streams;
  std::vector<std::function<void(const rpc::Status&)>> held_schema;
  std::vector<std::thread> draining;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    held_schema.swap(state_->held_schema);
    draining.swap(state_->draining);
    server = std::move(state_->server);
    services = std::move(state_->services);
    state_->stopping = server != nullptr;
    held.swap(state_->held);
    state_->hold_next = false;
    for (auto& [raw, s] : state_->streams) streams.push_back(s);
  }
  for (auto& call : held) call->Complete(rpc::Status(rpc::StatusCode::kUnavailable, "stopping"));
  for (auto& finish : held_schema) finish(rpc::Status(rpc::StatusCode::kUnavailable, "stopping"));
  for (auto& s : streams) {
    s->RequestFinish(rpc::StatusCode::kUnavailable);
    s->Kick();
  }
  streams.clear();
  if (server) server->Shutdown();
  // The draining servers have no held calls left to wait for.
  for (auto& t : draining) t.join();
}

bool NodeDbStandin::RestartDraining(std::chrono::milliseconds grace) {
  StopDraining(grace);
  return Start();
}

void NodeDbStandin::StopDraining(std::chrono::milliseconds grace) {
  std::unique_ptr<rpc::Server> server;
  std::vector<std::unique_ptr<grpc::Service>> services;
  std::vector<std::shared_ptr<ModifyCall>> held;
  std::vector<std::shared_ptr<MonitorStream>> streams;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    server = std::move(state_->server);
    services = std::move(state_->services);
    held.swap(state_->held);
    state_->hold_next = false;
    for (auto& [raw, s] : state_->streams) streams.push_back(s);
  }
  for (auto& call : held) call->Complete(rpc::Status(rpc::StatusCode::kUnavailable, "stopping"));
  for (auto& s : streams) {
    s->RequestFinish(rpc::StatusCode::kUnavailable);
    s->Kick();
  }
  streams.clear();
  if (server) {
    // The shutdown waits for the held calls; the services must outlive it.
    std::thread drain([server = std::move(server), services = std::move(services), grace]() mutable {
      server->Shutdown(grace);
      server.reset();
      services.clear();
    });
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->draining.push_back(std::move(drain));
  }
}

bool NodeDbStandin::Restart(bool keep_data) {
  Stop();
  if (!keep_data) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->data.clear();
    state_->vdb_names = {{"default", 1}};
    state_->next_vdb = 2;
  }
  return Start();
}

bool NodeDbStandin::running() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->server != nullptr;
}

int NodeDbStandin::port() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->port;
}

std::string NodeDbStandin::endpoint() const { return "tcp://127.0.0.1:" + std::to_string(port()); }

void NodeDbStandin::EndMonitorStreams(uint32_t code) {
  std::vector<std::shared_ptr<MonitorStream>> streams;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    for (auto& [raw, s] : state_->streams) {
      s->RequestFinish(code);
      streams.push_back(s);
    }
  }
  for (auto& s : streams) s->Kick();
}

void NodeDbStandin::SetServing(const std::string& service, bool serving) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->server) state_->server->SetServing(service, serving);
}

void NodeDbStandin::HoldNextModify(uint64_t after_calls) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->hold_next = true;
  state_->hold_skip = after_calls;
}

size_t NodeDbStandin::ReleaseHeldModifies() {
  std::vector<std::shared_ptr<ModifyCall>> held;
  std::vector<std::shared_ptr<MonitorStream>> kicked;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    held.swap(state_->held);
    for (auto& call : held) {
      auto k = state_->Apply(call->requests());
      kicked.insert(kicked.end(), k.begin(), k.end());
    }
  }
  for (auto& s : kicked) s->Kick();
  for (auto& call : held) call->Complete(rpc::Status());
  return held.size();
}

size_t NodeDbStandin::held_modifies() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->held.size();
}

void NodeDbStandin::FailNextModify(uint32_t code) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->fail_next = code;
}

void NodeDbStandin::SetSchemaAnswers(SchemaAnswer schema, SchemaAnswer version, uint32_t fail_code) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->schema_answer = schema;
  state_->version_answer = version;
  state_->schema_fail_code = fail_code;
}

void NodeDbStandin::SetSchemaVersion(const std::string& version) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->schema_version = version;
}

size_t NodeDbStandin::ReleaseSchemaRequests() {
  std::vector<std::function<void(const rpc::Status&)>> held;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    held.swap(state_->held_schema);
  }
  for (auto& finish : held) finish(rpc::Status());
  return held.size();
}

size_t NodeDbStandin::held_schema_requests() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->held_schema.size();
}

std::map<std::string, std::string> NodeDbStandin::Table(uint32_t vdb_id, pb::ObjectType type) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto db = state_->data.find(vdb_id);
  if (db == state_->data.end()) return {};
  auto table = db->second.find(type);
  if (table == db->second.end()) return {};
  return table->second;
}

void NodeDbStandin::Put(uint32_t vdb_id, pb::ObjectType type, const std::string& key, const std::string& value) {
  std::vector<std::shared_ptr<MonitorStream>> kicked;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    pb::ModifyRequestMsg request;
    auto* put = request.add_modify()->mutable_put();
    put->add_vdb_id(vdb_id);
    put->mutable_object()->set_object_type(type);
    put->mutable_object()->set_key(key);
    put->mutable_object()->set_value(value);
    kicked = state_->Apply({request});
  }
  for (auto& s : kicked) s->Kick();
}

uint64_t NodeDbStandin::modify_calls() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->modify_calls;
}

uint64_t NodeDbStandin::applied_operations() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->applied;
}

uint64_t NodeDbStandin::monitor_calls() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->monitor_calls;
}

size_t NodeDbStandin::active_monitors() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->streams.size();
}

std::vector<int> NodeDbStandin::MonitoredTypes(uint32_t vdb_id) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::set<int> types;
  for (auto& [raw, s] : state_->streams) {
    if (s->vdb() != vdb_id) continue;
    for (const auto& [type, statement] : s->statements()) types.insert(type);
  }
  return {types.begin(), types.end()};
}

}  // namespace tools
}  // namespace qbx
