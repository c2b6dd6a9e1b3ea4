// Operations of the configuration-database client: modifications (queued, merged, sent one
// batch at a time and resent after failures), reads, VDb operations, echo and the schema
// requests.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "base/process_exit.h"
#include "nodedb/nodedb_client.h"
#include "platform/rpc/call.h"

namespace qbx {
namespace nodedb {

namespace pb = zumbra::qbx::nodedb;

static_assert(NodeDbClient::kMaxBatchRequests <= rpc::detail::CallCore::kMaxQueuedWrites,
              "a Modify call must never carry more requests than its writer takes");

namespace {

// Collects the objects of every response and hands them over at the end of the call.
template <class Response>
class ObjectsObserver : public rpc::CallObserver<Response> {
 public:
  ObjectsObserver(ObjectsCallback callback, const char* text) : callback_(std::move(callback)), text_(text) {}
  void Next(const Response& response) override {
    QBX_NDB_LOG(loglevel::kDebug).put("%s", text_);
    for (const auto& o : response.object()) objects_.push_back(o);
  }
  void CallStatus(const rpc::Status& status) override {
    auto callback = std::move(callback_);
    auto objects = std::move(objects_);
    delete this;
    callback(objects, status);
  }

 private:
  ObjectsCallback callback_;
  const char* text_;
  std::vector<pb::TypedObjectMsg> objects_;
};

// The object type an operation names, and its target VDbs (empty: VDb 1).
struct OperationView {
  int type = -1;
  google::protobuf::RepeatedField<uint32_t>* vdbs = nullptr;
};

OperationView View(pb::ModifyMsg& m) {
  OperationView v;
  if (m.has_put()) {
    v.type = m.put().object().object_type();
    v.vdbs = m.mutable_put()->mutable_vdb_id();
  } else if (m.has_del()) {
    v.type = m.del().object().object_type();
    v.vdbs = m.mutable_del()->mutable_vdb_id();
  } else if (m.has_flush()) {
    v.type = m.flush().object_type();
    v.vdbs = m.mutable_flush()->mutable_vdb_id();
  } else if (m.has_patch()) {
    v.type = m.patch().object_type();
    v.vdbs = m.mutable_patch()->mutable_vdb_id();
  } else if (m.has_copy()) {
    v.type = m.copy().object().object_type();
    v.vdbs = m.mutable_copy()->mutable_vdb_id();
  }
  return v;
}

}  // namespace

class NodeDbClient::GetResponseObserver : public ObjectsObserver<pb::GetResponseMsg> {
 public:
  explicit GetResponseObserver(ObjectsCallback cb) : ObjectsObserver(std::move(cb), "Received Get response") {}
};

class NodeDbClient::QueryResponseObserver : public ObjectsObserver<pb::QueryResponseMsg> {
 public:
  explicit QueryResponseObserver(ObjectsCallback cb) : ObjectsObserver(std::move(cb), "Received Query response") {}
};

class NodeDbClient::CreateVDbResponseObserver : public rpc::CallObserver<pb::CreateVDbResponseMsg> {
 public:
  explicit CreateVDbResponseObserver(CreateVDbCallback cb) : callback_(std::move(cb)) {}
  void Next(const pb::CreateVDbResponseMsg& response) override {
    QBX_NDB_LOG(loglevel::kDebug).put("Received CreateVDb response");
    vdb_id_ = response.vdb_id();
  }
  void CallStatus(const rpc::Status& status) override {
    auto callback = std::move(callback_);
    const uint32_t id = vdb_id_;
    delete this;
    callback(id, status);
  }

 private:
  CreateVDbCallback callback_;
  uint32_t vdb_id_ = 0;
};

class NodeDbClient::DeleteVDbResponseObserver : public rpc::CallObserver<pb::DeleteVDbResponseMsg> {
 public:
  explicit DeleteVDbResponseObserver(DeleteVDbCallback cb) : callback_(std::move(cb)) {}
  void Next(const pb::DeleteVDbResponseMsg&) override {
    QBX_NDB_LOG(loglevel::kDebug).put("Received DeleteVDb response");
  }
  void CallStatus(const rpc::Status& status) override {
    auto callback = std::move(callback_);
    delete this;
    callback(status);
  }

 private:
  DeleteVDbCallback callback_;
};

class NodeDbClient::GetVDbIdResponseObserver : public rpc::CallObserver<pb::GetVDbIdResponseMsg> {
 public:
  explicit GetVDbIdResponseObserver(VDbsCallback cb) : callback_(std::move(cb)) {}
  void Next(const pb::GetVDbIdResponseMsg& response) override {
    QBX_NDB_LOG(loglevel::kDebug).put("Received GetVDb response");
    for (const auto& v : response.vdb()) vdbs_.push_back(v);
  }
  void CallStatus(const rpc::Status& status) override {
    auto callback = std::move(callback_);
    auto vdbs = std::move(vdbs_);
    delete this;
    callback(vdbs, status);
  }

 private:
  VDbsCallback callback_;
  std::vector<pb::VDbMsg> vdbs_;
};

class NodeDbClient::EchoResponseObserver : public rpc::CallObserver<zumbra::qbx::daemon::EchoMsg> {
 public:
  explicit EchoResponseObserver(EchoCallback cb) : callback_(std::move(cb)) {}
  void Next(const zumbra::qbx::daemon::EchoMsg& response) override {
    QBX_NDB_LOG(loglevel::kDebug).put("Received Echo response");
    text_ = response.text();
  }
  void CallStatus(const rpc::Status& status) override {
    auto callback = std::move(callback_);
    auto text = std::move(text_);
    delete this;
    callback(text, status);
  }

 private:
  EchoCallback callback_;
  std::string text_;
};

class NodeDbClient::SchemaResponseObserver : public rpc::CallObserver<pb::GetSchemaResponseMsg> {
 public:
  explicit SchemaResponseObserver(SchemaCallback cb) : callback_(std::move(cb)) {}
  void Next(const pb::GetSchemaResponseMsg& response) override {
    QBX_NDB_LOG(loglevel::kDebug).put("Received Get Schema Response");
    name_ = response.name();
    schema_ = response.schema();
  }
  void CallStatus(const rpc::Status& status) override {
    auto callback = std::move(callback_);
    auto name = std::move(name_);
    auto schema = std::move(schema_);
    delete this;
    callback(name, schema, status);
  }

 private:
  SchemaCallback callback_;
  std::string name_;
  std::string schema_;
};

class NodeDbClient::SchemaVersionResponseObserver : public rpc::CallObserver<pb::GetSchemaVersionResponseMsg> {
 public:
  explicit SchemaVersionResponseObserver(SchemaVersionCallback cb) : callback_(std::move(cb)) {}
  void Next(const pb::GetSchemaVersionResponseMsg& response) override {
    QBX_NDB_LOG(loglevel::kDebug).put("Received Get Schema Version Response");
    version_ = response.version();
  }
  void CallStatus(const rpc::Status& status) override {
    auto callback = std::move(callback_);
    auto version = std::move(version_);
    delete this;
    callback(version, status);
  }

 private:
  SchemaVersionCallback callback_;
  std::string version_;
};

// The done callbacks of the batch stay with its entry, the head of the pending list, until
// the call ends: a purge may still hand the entry the callback of a write whose rest it
// removed from the next entry.
class NodeDbClient::ModifyResponseObserver : public rpc::CallObserver<pb::ModifyResponseMsg> {
 public:
  ModifyResponseObserver(std::weak_ptr<NodeDbClient> client, uint64_t send_id)
      : client_(std::move(client)), send_id_(send_id) {}
  void Next(const pb::ModifyResponseMsg&) override {
    QBX_NDB_LOG(loglevel::kDebug).put("Received Modify response");
  }
  void CallStatus(const rpc::Status& status) override {
    if (auto client = client_.lock()) {
      client->OnModifyDone(send_id_, status);
    } else {
      QBX_NDB_LOG(loglevel::kDebug).put("MonitorResponseObserver: NodeDbClient is already destroyed");
    }
    delete this;
  }

 private:
  std::weak_ptr<NodeDbClient> client_;
  const uint64_t send_id_;
};

// ---------------------------------------------------------------- modifications

void NodeDbClient::SetGauge(size_t count) {
  while (gauge_value_ < count) {
    ++*gauge_;
    ++gauge_value_;
  }
  if (gauge_value_ > count) {
    *gauge_ -= gauge_value_ - count;
    gauge_value_ = count;
  }
}

bool NodeDbClient::IsPendingModificationReqEmpty() {
  Lock lock(*mutex_);
  return pending_.empty();
}

void NodeDbClient::Modify(const std::vector<pb::ModifyRequestMsg>& requests, const DoneCallback& done) {
  {
    Lock lock(*mutex_);
    PendingModification entry;
    entry.requests = requests;
    entry.done.push_back({requests.size(), done});
    MarkConstrained(entry);
    pending_.push_back(std::move(entry));
    SetGauge(pending_.size());
    SendHead();
  }
  RunDeferred();
}

void NodeDbClient::KeepRequests(PendingModification& entry, const std::vector<bool>& keep,
                                PendingModification* previous) {
  // kept[i]: how many of the first i requests stay.
  std::vector<size_t> kept(entry.requests.size() + 1, 0);
  std::vector<pb::ModifyRequestMsg> requests;
  for (size_t i = 0; i < entry.requests.size(); ++i) {
    kept[i + 1] = kept[i] + (keep[i] ? 1 : 0);
    if (keep[i]) requests.push_back(std::move(entry.requests[i]));
  }
  entry.requests = std::move(requests);
  // Each write covers the requests from the previous done callback's `after` to its own. A
  // write left with nothing to write here (a write with no requests among them: a writer's
  // "everything before me is written" marker) is confirmed right after the write before it:
  // with the last write kept here, else with the entry before (which then also holds the
  // first part of a write split across the two), else at once, as nothing written before it
  // is still waiting for its confirmation.
  std::vector<PendingModification::Done> done;
  size_t begin = 0;
  for (auto& d : entry.done) {
    const size_t end = kept[std::min(d.after, kept.size() - 1)];
    if (end > begin) {
      done.push_back({end, std::move(d.fn)});
      begin = end;
    } else if (!done.empty()) {
      done.push_back({begin, std::move(d.fn)});
    } else if (previous != nullptr) {
      previous->done.push_back({previous->requests.size(), std::move(d.fn)});
    } else if (d.fn) {
      Defer(std::move(d.fn));
    }
  }
  entry.done = std::move(done);
}

bool NodeDbClient::FilterBySchema(PendingModification& entry) {
  std::vector<bool> keep(entry.requests.size(), true);
  for (size_t r = 0; r < entry.requests.size(); ++r) {
    auto* mods = entry.requests[r].mutable_modify();
    for (int i = 0; i < mods->size();) {
      const int type = View(*mods->Mutable(i)).type;
      const auto type_enum = static_cast<pb::ObjectType>(type);
      const bool known = object_count_ != 0 && type <= object_count_;
      if (!known) {
        QBX_NDB_LOG(loglevel::kDebug).put("Removing object type %s from Modify, as as server schema does not support it",
                                          pb::ObjectType_Name(type_enum).c_str());
        QBX_NDB_LOG(loglevel::kWarning).put("NodeDbClient: not sending %s: the server schema does not support it",
                                            mods->Get(i).ShortDebugString().c_str());
        mods->DeleteSubrange(i, 1);
      } else if (!CheckVersionConstraintLocked(type_enum)) {
        QBX_NDB_LOG(loglevel::kDebug).put("Removing object type %s from Modify due to version mismatch of object",
                                          pb::ObjectType_Name(type_enum).c_str());
        QBX_NDB_LOG(loglevel::kWarning).put(
            "NodeDbClient: not sending %s: the server version does not meet the object's version constraint",
            mods->Get(i).ShortDebugString().c_str());
        mods->DeleteSubrange(i, 1);
      } else {
        ++i;
      }
    }
    keep[r] = !mods->empty();
  }
  // The head has no entry before it: what came before has been written.
  KeepRequests(entry, keep, nullptr);
  return !entry.requests.empty();
}

void NodeDbClient::MarkConstrained(PendingModification& entry) {
  // Looked at once per write, not at every send: a long backlog waiting for the version is
  // not scanned again by every write queued behind it.
  if (check_server_schema_ && !entry.constrained) entry.constrained = HasConstrainedOperation(entry);
}

bool NodeDbClient::HasConstrainedOperation(PendingModification& entry) {
  if (version_constraints_.empty()) return false;
  for (auto& request : entry.requests) {
    for (auto& m : *request.mutable_modify()) {
      if (version_constraints_.count(View(m).type) != 0) return true;
    }
  }
  return false;
}

void NodeDbClient::SendHead() {
  if (pending_.empty() || !data_stub_ || pending_.front().sending) return;
  // Only the connected client sends; a queued batch waits for the connection and, with
  // schema checks on, for the schema decision it is filtered against.
  if (state_ != CONNECTED || SchemaDecisionPending()) return;
  if (modify_retry_timer_) {
    modify_retry_timer_->Cancel();
    modify_retry_timer_.reset();
  }
  PendingModification& head = pending_.front();
  for (auto it = std::next(pending_.begin()); it != pending_.end();) {
    const size_t offset = head.requests.size();
    for (auto& r : it->requests) head.requests.push_back(std::move(r));
    for (auto& d : it->done) head.done.push_back({d.after + offset, std::move(d.fn)});
    head.constrained = head.constrained || it->constrained;
    it = pending_.erase(it);
  }
  SetGauge(pending_.size());
  // A write of a type with a version constraint is checked against this connection's
  // version: until the server has answered (or its window has run out) the batch waits,
  // and with it, in order, every write behind it.
  if (check_server_schema_ && VersionWanted() && head.constrained) {
    QBX_NDB_LOG(loglevel::kDebug).put("Modification %s waits for the server version of this connection",
                                      head.requests.empty() ? "" : head.requests.front().ShortDebugString().c_str());
    return;
  }
  if (check_server_schema_) {
    const std::string first = head.requests.empty() ? "" : head.requests.front().ShortDebugString();
    if (!FilterBySchema(head)) {
      // Nothing of the batch can be written. Its writers are told it is done (every refused
      // operation was named above) instead of waiting for good.
      QBX_NDB_LOG(loglevel::kWarning).put(
          "NodeDbClient: modification %s and those merged with it were refused by the server schema; "
          "nothing sent, done callbacks run",
          first.c_str());
      for (auto& d : head.done) {
        if (d.fn) Defer(std::move(d.fn));
      }
      pending_.pop_front();
      SetGauge(pending_.size());
      SendHead();
      return;
    }
  }
  // One call carries at most kMaxBatchRequests: the rest waits, in order, as the next entry,
  // with the done callbacks of the writes not wholly in this call. A longer batch would be
  // cancelled by its own writer, and every resend, merged again, would be longer still.
  if (head.requests.size() > kMaxBatchRequests) {
    PendingModification rest;
    rest.constrained = head.constrained;
    rest.requests.assign(std::make_move_iterator(head.requests.begin() + kMaxBatchRequests),
                         std::make_move_iterator(head.requests.end()));
    head.requests.resize(kMaxBatchRequests);
    auto split = std::find_if(head.done.begin(), head.done.end(),
                              [](const PendingModification::Done& d) { return d.after > kMaxBatchRequests; });
    for (auto d = split; d != head.done.end(); ++d) {
      rest.done.push_back({d->after - kMaxBatchRequests, std::move(d->fn)});
    }
    head.done.erase(split, head.done.end());
    pending_.insert(std::next(pending_.begin()), std::move(rest));
    SetGauge(pending_.size());
  }
  QBX_NDB_LOG(loglevel::kDebug).put("Sending modification %s to NodeDb",
                                    head.requests.empty() ? "" : head.requests.front().ShortDebugString().c_str());
  const uint64_t id = ++send_id_;
  auto* observer = new ModifyResponseObserver(weak_from_this(), id);
  // In flight from here on, together with its call: nothing above may leave the head marked
  // without a call that will end it.
  head.sending = true;
  rpc::client::AsyncBatchCall<pb::ModifyRequestMsg, pb::ModifyResponseMsg>(data_stub_->channel(), "Modify", context_,
                                                                           head.requests, observer);
}

void NodeDbClient::ScheduleModifyRetry() {
  if (modify_retry_timer_) return;
  const int64_t delay = modify_retry_.NextDelay();
  std::weak_ptr<NodeDbClient> weak = weak_from_this();
  modify_retry_timer_ = timers_.Schedule(std::chrono::milliseconds(delay < 0 ? 0 : delay), [weak] {
    auto self = weak.lock();
    if (!self) {
      QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient is already destroyed");
      return;
    }
    {
      Lock lock(*self->mutex_);
      self->modify_retry_timer_.reset();
      self->SendHead();
    }
    self->RunDeferred();
  });
}

void NodeDbClient::OnModifyDone(uint64_t send_id, const rpc::Status& status) {
  {
    std::lock_guard<std::recursive_mutex> observer_lock(observer_mutex_);
    Lock lock(*mutex_);
    if (send_id != send_id_ || pending_.empty() || !pending_.front().sending) {
      QBX_NDB_LOG(loglevel::kDebug).put("Ignoring the end of an earlier modification call (%s)",
                                        status.ToString().c_str());
      return;
    }
    PendingModification& head = pending_.front();
    const std::string first = head.requests.empty() ? "" : head.requests.front().ShortDebugString();
    const uint32_t code = status.code();
    if (code == rpc::StatusCode::kOk) {
      QBX_NDB_LOG(loglevel::kDebug).put("Successfully modified %s, removing from pending_modification_requests",
                                        first.c_str());
      std::vector<PendingModification::Done> done = std::move(head.done);
      pending_.pop_front();
      SetGauge(pending_.size());
      modify_retry_.Reset();
      for (auto& d : done) {
        if (d.fn) Defer(std::move(d.fn));
      }
      SendHead();
    } else {
      if (!head.requests.empty()) {
        QBX_NDB_LOG(loglevel::kInfo).put("Failed to modify %s. Server returned an error status %s.Changing send status to false",
                                         first.c_str(), status.ToString().c_str());
        head.sending = false;
      } else {
        QBX_NDB_LOG(loglevel::kInfo).put("Modify request is empty. Server returned an error status %s.Canceling the request.",
                                         status.ToString().c_str());
        // Nothing of these writes is left to write: their writers are told so.
        for (auto& d : head.done) {
          if (d.fn) Defer(std::move(d.fn));
        }
        pending_.pop_front();
        SetGauge(pending_.size());
      }
      if (code == rpc::StatusCode::kInvalidRequest || code == rpc::StatusCode::kUnknownObject ||
          code == rpc::StatusCode::kAlreadyExists || code == static_cast<uint32_t>(rpc::AppStatus::NOT_FOUND)) {
        QBX_NDB_LOG(loglevel::kError).tag("NDB100").put(
            "Server reported error due to invalid client request, unrecoverable on client!");
        // The exit runs after every lock of the client is released, and skips the static
        // destructors: other threads may hold locks those destructors would wait for.
        Defer([] { ExitProcess(1); });
      } else if (code != rpc::StatusCode::kUnavailable || state_ == CONNECTED) {
        // Resend after the retry delay, never at once: a server that keeps refusing must
        // not turn the client into a busy loop. A lost transport waits for the next
        // connection instead, unless the client still counts itself connected.
        ScheduleModifyRetry();
      }
    }
  }
  RunDeferred();
}

void NodeDbClient::PurgeVDb(uint16_t vdb_id) {
  // The last entry still pending before the one purged: a write split across the two keeps
  // its done callback there when its part in the later one goes, and a write with nothing
  // left waits there for the writes before it.
  PendingModification* previous = nullptr;
  for (auto entry = pending_.begin(); entry != pending_.end();) {
    if (entry->sending) {
      previous = &*entry;
      ++entry;
      continue;
    }
    std::vector<bool> keep(entry->requests.size(), true);
    for (size_t r = 0; r < entry->requests.size(); ++r) {
      auto* mods = entry->requests[r].mutable_modify();
      for (int i = 0; i < mods->size();) {
        pb::ModifyMsg& m = *mods->Mutable(i);
        OperationView v = View(m);
        if (v.vdbs == nullptr) {
          ++i;
          continue;
        }
        if (m.has_copy() && (m.copy().has_source_vdb_id() ? m.copy().source_vdb_id() : 1u) == vdb_id) {
          mods->DeleteSubrange(i, 1);
          continue;
        }
        int index = -1;
        for (int k = 0; k < v.vdbs->size(); ++k) {
          if (v.vdbs->Get(k) == vdb_id) {
            index = k;
            break;
          }
        }
        const bool targets = v.vdbs->empty() ? vdb_id == 1 : index >= 0;
        if (!targets) {
          ++i;
        } else if (v.vdbs->size() <= 1) {
          mods->DeleteSubrange(i, 1);
        } else {
          v.vdbs->SwapElements(index, v.vdbs->size() - 1);
          v.vdbs->RemoveLast();
          ++i;
        }
      }
      keep[r] = !mods->empty();
    }
    KeepRequests(*entry, keep, previous);
    if (entry->requests.empty()) {
      // Its writes now wait with the entry before, where the next entry's must wait too.
      entry = pending_.erase(entry);
    } else {
      previous = &*entry;
      ++entry;
    }
  }
  SetGauge(pending_.size());
}

// ---------------------------------------------------------------- reads and VDbs

bool NodeDbClient::Get(const std::vector<pb::ObjectRequestMsg>& requests, const ObjectsCallback& callback,
                       uint16_t vdb_id) {
  Lock lock(*mutex_);
  if (!data_stub_) return false;
  pb::GetRequestMsg request;
  for (const auto& r : requests) *request.add_object() = r;
  if (vdb_id != 0) request.set_vdb_id(vdb_id);
  rpc::client::AsyncCall<pb::GetRequestMsg, pb::GetResponseMsg>(data_stub_->channel(), "Get", context_, request,
                                                                new GetResponseObserver(callback));
  return true;
}

bool NodeDbClient::Query(const pb::StatementMsg& statement, const ObjectsCallback& callback, uint16_t vdb_id) {
  Lock lock(*mutex_);
  if (!data_stub_) return false;
  pb::QueryRequestMsg request;
  *request.mutable_statement() = statement;
  if (vdb_id != 0) request.set_vdb_id(vdb_id);
  rpc::client::AsyncCall<pb::QueryRequestMsg, pb::QueryResponseMsg>(data_stub_->channel(), "Query", context_, request,
                                                                    new QueryResponseObserver(callback));
  return true;
}

bool NodeDbClient::CreateVDb(const std::string& name, const CreateVDbCallback& callback) {
  Lock lock(*mutex_);
  if (!data_stub_) return false;
  pb::CreateVDbRequestMsg request;
  request.set_name(name);
  rpc::client::AsyncCall<pb::CreateVDbRequestMsg, pb::CreateVDbResponseMsg>(
      data_stub_->channel(), "CreateVDb", context_, request, new CreateVDbResponseObserver(callback));
  return true;
}

bool NodeDbClient::DeleteVDb(const std::string& name, const DeleteVDbCallback& callback, uint16_t vdb_id) {
  {
    Lock lock(*mutex_);
    if (!data_stub_) return false;
    if (vdb_id != 0) PurgeVDb(vdb_id);
    pb::DeleteVDbRequestMsg request;
    request.set_name(name);
    rpc::client::AsyncCall<pb::DeleteVDbRequestMsg, pb::DeleteVDbResponseMsg>(
        data_stub_->channel(), "DeleteVDb", context_, request, new DeleteVDbResponseObserver(callback));
  }
  // The done callbacks of writes the purge left with nothing to write.
  RunDeferred();
  return true;
}

bool NodeDbClient::GetVDbId(const std::string& name, const VDbsCallback& callback) {
  Lock lock(*mutex_);
  if (!data_stub_) return false;
  pb::GetVDbIdRequestMsg request;
  if (!name.empty()) request.add_name(name);
  rpc::client::AsyncCall<pb::GetVDbIdRequestMsg, pb::GetVDbIdResponseMsg>(
      data_stub_->channel(), "GetVDbId", context_, request, new GetVDbIdResponseObserver(callback));
  return true;
}

bool NodeDbClient::Echo(const std::string& text, const EchoCallback& callback) {
  Lock lock(*mutex_);
  if (!health_stub_) return false;
  zumbra::qbx::daemon::EchoMsg request;
  request.set_text(text);
  rpc::client::AsyncCall<zumbra::qbx::daemon::EchoMsg, zumbra::qbx::daemon::EchoMsg>(
      health_stub_->channel(), "Echo", context_, request, new EchoResponseObserver(callback));
  return true;
}

bool NodeDbClient::GetServerSchema(const SchemaCallback& callback) {
  Lock lock(*mutex_);
  if (!ops_stub_) return false;
  if (!schema_idle_) {
    QBX_NDB_LOG(loglevel::kWarning).put("Response is still pending from the previous call toGetServerSchema");
    return false;
  }
  schema_idle_ = false;
  // Whoever asked, the end of the call makes the next request possible again; otherwise a
  // caller other than the schema check would block the request for good.
  std::weak_ptr<NodeDbClient> weak = weak_from_this();
  auto wrapped = [weak, callback](const std::string& name, const std::string& schema, const rpc::Status& status) {
    if (auto self = weak.lock()) {
      Lock lock(*self->mutex_);
      self->schema_idle_ = true;
    }
    if (callback) callback(name, schema, status);
  };
  pb::GetSchemaRequestMsg request;
  rpc::client::AsyncCall<pb::GetSchemaRequestMsg, pb::GetSchemaResponseMsg>(
      ops_stub_->channel(), "GetSchema", context_, request, new SchemaResponseObserver(wrapped));
  return true;
}

bool NodeDbClient::GetServerSchemaVersion(const SchemaVersionCallback& callback) {
  Lock lock(*mutex_);
  if (!ops_stub_) return false;
  if (!version_idle_) {
    QBX_NDB_LOG(loglevel::kWarning).put("Response is still pending from the previous call to GetServerSchemaVersion");
    return false;
  }
  version_idle_ = false;
  std::weak_ptr<NodeDbClient> weak = weak_from_this();
  auto wrapped = [weak, callback](const std::string& version, const rpc::Status& status) {
    if (auto self = weak.lock()) {
      Lock lock(*self->mutex_);
      self->version_idle_ = true;
    }
    if (callback) callback(version, status);
  };
  pb::GetSchemaVersionRequestMsg request;
  rpc::client::AsyncCall<pb::GetSchemaVersionRequestMsg, pb::GetSchemaVersionResponseMsg>(
      ops_stub_->channel(), "GetSchemaVersion", context_, request, new SchemaVersionResponseObserver(wrapped));
  return true;
}

}  // namespace nodedb
}  // namespace qbx
