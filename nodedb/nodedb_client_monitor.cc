// Monitor sessions of the configuration-database client: registration, session set-up,
// routing of streamed updates and barriers, and monitor configuration.
#include "nodedb/nodedb_client.h"

#include "platform/rpc/call.h"

namespace qbx {
namespace nodedb {

namespace pb = zumbra::qbx::nodedb;

class NodeDbClient::MonitorResponseObserver : public rpc::CallObserver<pb::MonitorResponseMsg> {
 public:
  MonitorResponseObserver(std::weak_ptr<NodeDbClient> client, uint16_t vdb_id, std::string monitor_id)
      : client_(std::move(client)), vdb_id_(vdb_id), monitor_id_(std::move(monitor_id)) {}

  void Next(const pb::MonitorResponseMsg& response) override {
    auto client = client_.lock();
    if (!client) {
      QBX_NDB_LOG(loglevel::kDebug).put("MonitorResponseObserver: NodeDbClient is already destroyed");
      return;
    }
    client->OnMonitorResponse(vdb_id_, monitor_id_, response);
  }

  void CallStatus(const rpc::Status& status) override {
    if (auto client = client_.lock()) {
      client->OnMonitorEnd(vdb_id_, monitor_id_, status);
    } else {
      QBX_NDB_LOG(loglevel::kDebug).put("MonitorResponseObserver: NodeDbClient is already destroyed");
    }
    delete this;
  }

 private:
  std::weak_ptr<NodeDbClient> client_;
  const uint16_t vdb_id_;
  const std::string monitor_id_;
};

class NodeDbClient::ConfigureMonitorResponseObserver : public rpc::CallObserver<pb::ConfigureMonitorResponseMsg> {
 public:
  void Next(const pb::ConfigureMonitorResponseMsg& response) override {
    QBX_NDB_LOG(loglevel::kDebug).put("Object types and ids currently monitored by NodeDB: %s",
                                      response.ShortDebugString().c_str());
  }
  void CallStatus(const rpc::Status&) override { delete this; }
};

bool NodeDbClient::RegisterMonitorCallback(uint32_t module_id, const UpdateCallback& update,
                                           const BarrierCallback& barrier, uint16_t vdb_id) {
  Lock lock(*mutex_);
  if (vdb_id != 1 && sessions_.count(vdb_id) == 0) {
    QBX_NDB_LOG(loglevel::kError).tag("NDB103").put("Unable to find monitor session for vdb_id %u", vdb_id);
    return false;
  }
  auto& updates = update_callbacks_[vdb_id];
  if (updates.count(module_id) != 0) {
    QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient already has a callback registered formodule_id: %u", module_id);
    return false;
  }
  updates.emplace(module_id, update);
  auto& barriers = barrier_callbacks_[vdb_id];
  if (barriers.count(module_id) != 0) {
    QBX_NDB_LOG(loglevel::kDebug).put("NodeDbClient already has a barrier callbackregistered for module_id: %u",
                                      module_id);
    return false;
  }
  barriers.emplace(module_id, barrier);
  return true;
}

bool NodeDbClient::AddMonitorSession(uint16_t vdb_id) {
  Lock lock(*mutex_);
  if (sessions_.count(vdb_id) != 0) {
    QBX_NDB_LOG(loglevel::kError).tag("NDB104").put("An existing monitor session for vdb_id %u already exists", vdb_id);
    return false;
  }
  sessions_[vdb_id].monitor_id = uuid_.GenerateString();
  if (data_stub_) SetupSession(vdb_id);
  return true;
}

bool NodeDbClient::RemoveMonitorSession(uint16_t vdb_id) {
  Lock lock(*mutex_);
  auto it = sessions_.find(vdb_id);
  if (it == sessions_.end()) {
    QBX_NDB_LOG(loglevel::kError).tag("NDB103").put("Unable to find monitor session for vdb_id %u", vdb_id);
    return false;
  }
  // The server needs no word: ending the call ends its stream.
  if (it->second.cancel) it->second.cancel();
  sessions_.erase(it);
  update_callbacks_.erase(vdb_id);
  barrier_callbacks_.erase(vdb_id);
  statements_.erase(vdb_id);
  modules_.erase(vdb_id);
  notified_.erase(vdb_id);
  return true;
}

bool NodeDbClient::EnableMonitorSessionCreation() {
  Lock lock(*mutex_);
  if (monitor_sessions_enabled_) return true;
  if (!StubsHeld()) return false;
  monitor_sessions_enabled_ = true;
  SetupAllSessions();
  return true;
}

void NodeDbClient::SetupAllSessions() {
  if (sessions_.empty() && create_default_session_) sessions_[1].monitor_id = uuid_.GenerateString();
  std::vector<uint16_t> ids;
  for (const auto& [vdb, session] : sessions_) ids.push_back(vdb);
  for (uint16_t vdb : ids) SetupSession(vdb);
}

void NodeDbClient::SetupSession(uint16_t vdb_id) {
  auto it = sessions_.find(vdb_id);
  if (it == sessions_.end() || !data_stub_) return;
  // Set up by the connected actions once the schema decision is made; filtering against an
  // unknown schema would erase every statement.
  if (SchemaDecisionPending()) return;
  Session& session = it->second;
  // Every set-up gets a fresh id and ends the previous call, so that a stream of an earlier
  // set-up can neither deliver into this one nor restart it when it ends.
  if (session.cancel) session.cancel();
  session.cancel = nullptr;
  session.monitor_id = uuid_.GenerateString();
  notified_.erase(vdb_id);

  pb::MonitorRequestMsg request;
  request.set_monitor_request_id(session.monitor_id);
  request.set_vdb_id(vdb_id);
  auto st = statements_.find(vdb_id);
  if (st != statements_.end()) {
    for (auto s = st->second.begin(); s != st->second.end();) {
      pb::MonitorStatementMsg statement;
      statement.ParseFromString(s->second);
      if (check_server_schema_ && !(object_count_ != 0 && s->first <= object_count_)) {
        QBX_NDB_LOG(loglevel::kDebug).put(
            "Removing object type %s from Monitor as server schema does not support it",
            pb::ObjectType_Name(static_cast<pb::ObjectType>(s->first)).c_str());
        // An operator must see why a module gets no updates, as for a refused write.
        QBX_NDB_LOG(loglevel::kWarning).put("NodeDbClient: not monitoring %s: the server schema does not support it",
                                            statement.ShortDebugString().c_str());
        s = st->second.erase(s);
        continue;
      }
      *request.add_statement() = statement;
      ++s;
    }
  }
  auto* observer = new MonitorResponseObserver(weak_from_this(), vdb_id, session.monitor_id);
  auto handle = rpc::client::AsyncCall<pb::MonitorRequestMsg, pb::MonitorResponseMsg>(
      data_stub_->channel(), "Monitor", context_, request, observer);
  session.cancel = [handle] { handle->Cancel(); };
}

void NodeDbClient::OnMonitorResponse(uint16_t vdb_id, const std::string& monitor_id,
                                     const pb::MonitorResponseMsg& response) {
  {
    std::lock_guard<std::recursive_mutex> observer_lock(observer_mutex_);
    Lock lock(*mutex_);
    QBX_NDB_LOG(loglevel::kDebug).put("Received a monitor response: %s", response.ShortDebugString().c_str());
    auto session = sessions_.find(vdb_id);
    if (session == sessions_.end() || session->second.monitor_id != monitor_id) {
      QBX_NDB_LOG(loglevel::kDebug).put("Dropping a response of an earlier monitor call for vdb_id %u", vdb_id);
      return;
    }
    // Routing works on copies of the callbacks: the callbacks run later, outside the lock,
    // and may change the tables without disturbing the delivery of this response.
    for (const auto& update : response.update()) {
      auto mods = modules_.find(vdb_id);
      auto cbs = update_callbacks_.find(vdb_id);
      if (mods == modules_.end() || cbs == update_callbacks_.end()) continue;
      auto set = mods->second.find(static_cast<int>(update.object_type()));
      if (set == mods->second.end()) continue;
      for (uint32_t module : set->second) {
        auto cb = cbs->second.find(module);
        if (cb == cbs->second.end() || !cb->second) continue;
        Defer([fn = cb->second, update] { fn(update); });
        notified_[vdb_id].insert(module);
      }
    }
    if (response.has_barrier() && response.barrier().flag()) {
      auto notified = notified_.find(vdb_id);
      auto barriers = barrier_callbacks_.find(vdb_id);
      if (notified != notified_.end() && barriers != barrier_callbacks_.end()) {
        for (uint32_t module : notified->second) {
          auto cb = barriers->second.find(module);
          if (cb != barriers->second.end() && cb->second) Defer(cb->second);
        }
        notified_.erase(notified);
      }
    }
  }
  RunDeferred();
}

void NodeDbClient::OnMonitorEnd(uint16_t vdb_id, const std::string& monitor_id, const rpc::Status& status) {
  {
    std::lock_guard<std::recursive_mutex> observer_lock(observer_mutex_);
    Lock lock(*mutex_);
    auto session = sessions_.find(vdb_id);
    if (session == sessions_.end() || session->second.monitor_id != monitor_id) {
      // A stream of an earlier set-up, or of a removed session: nothing of it may come back.
      QBX_NDB_LOG(loglevel::kDebug).put("Ignoring the end (%s) of an earlier monitor call for vdb_id %u",
                                        status.ToString().c_str(), vdb_id);
      return;
    }
    session->second.cancel = nullptr;
    switch (status.code()) {
      case rpc::StatusCode::kInvalidRequest:
        SetupSession(vdb_id);
        break;
      case rpc::StatusCode::kSessionClosed:
        RemoveMonitorSession(vdb_id);
        break;
      case rpc::StatusCode::kSessionReset:
        NotifyChannelStatus(false);
        NotifyChannelStatus(true);
        SetupSession(vdb_id);
        break;
      default:
        break;  // set up again on the next entry into CONNECTED
    }
  }
  RunDeferred();
}

void NodeDbClient::SendConfigureMonitor(pb::ConfigureMonitorRequestMsg& request, uint16_t vdb_id) {
  auto session = sessions_.find(vdb_id);
  if (session == sessions_.end()) {
    // No session of VDb 1 yet: its set-up will carry the whole statement list.
    return;
  }
  request.set_monitor_request_id(session->second.monitor_id);
  request.set_vdb_id(vdb_id);
  rpc::client::AsyncCall<pb::ConfigureMonitorRequestMsg, pb::ConfigureMonitorResponseMsg>(
      data_stub_->channel(), "ConfigureMonitor", context_, request, new ConfigureMonitorResponseObserver());
}

bool NodeDbClient::ConfigureMonitor(const std::vector<pb::MonitorStatementMsg>& add,
                                    const std::vector<pb::MonitorStatementMsg>& remove, uint32_t module_id,
                                    uint16_t vdb_id) {
  Lock lock(*mutex_);
  if (vdb_id != 1 && sessions_.count(vdb_id) == 0) {
    QBX_NDB_LOG(loglevel::kError).tag("NDB103").put("Unable to find monitor session for vdb_id %u", vdb_id);
    return false;
  }
  pb::ConfigureMonitorRequestMsg request;
  for (const auto& statement : remove) {
    if (!statement.has_object()) {
      QBX_NDB_LOG(loglevel::kError).tag("NDB105").put("MonitorStatementMsg is missing StatementMsg");
      return false;
    }
    const int type = static_cast<int>(statement.object().object_type());
    const std::string type_name = pb::ObjectType_Name(statement.object().object_type());
    auto vdb_statements = statements_.find(vdb_id);
    if (vdb_statements == statements_.end()) {
      QBX_NDB_LOG(loglevel::kError).tag("NDB106").put("No existing monitor found for the given vdb_id %u", vdb_id);
      return false;
    }
    auto stored = vdb_statements->second.find(type);
    if (stored == vdb_statements->second.end()) {
      QBX_NDB_LOG(loglevel::kError).tag("NDB107").put("No existing monitor found for the given object type: %s",
                                                      type_name.c_str());
      return false;
    }
    if (stored->second != statement.SerializeAsString()) {
      QBX_NDB_LOG(loglevel::kError).tag("NDB108").put(
          "MonitorStatementMsg for object_type: %s does not match any existing monitor", type_name.c_str());
      return false;
    }
    auto vdb_modules = modules_.find(vdb_id);
    if (vdb_modules == modules_.end()) {
      QBX_NDB_LOG(loglevel::kError).tag("NDB109").put("No module ids found for the given vdb_id %u", vdb_id);
      return false;
    }
    auto set = vdb_modules->second.find(type);
    if (set == vdb_modules->second.end()) {
      QBX_NDB_LOG(loglevel::kError).tag("NDB110").put("No module ids associated with the given object type: %s",
                                                      type_name.c_str());
      return false;
    }
    if (set->second.erase(module_id) == 0) {
      QBX_NDB_LOG(loglevel::kError).tag("NDB110").put("No module id %u associated with the given object type: %s",
                                                      module_id, type_name.c_str());
      return false;
    }
    if (set->second.empty()) {
      vdb_statements->second.erase(stored);
      if (vdb_statements->second.empty()) statements_.erase(vdb_statements);
      vdb_modules->second.erase(set);
      if (vdb_modules->second.empty()) modules_.erase(vdb_modules);
      *request.add_remove() = statement;
    }
  }
  for (const auto& statement : add) {
    if (!statement.has_object()) {
      QBX_NDB_LOG(loglevel::kError).tag("NDB105").put("MonitorStatementMsg is missing StatementMsg");
      return false;
    }
    const int type = static_cast<int>(statement.object().object_type());
    auto& vdb_statements = statements_[vdb_id];
    auto stored = vdb_statements.find(type);
    const std::string bytes = statement.SerializeAsString();
    if (stored != vdb_statements.end()) {
      if (stored->second != bytes) {
        QBX_NDB_LOG(loglevel::kError).tag("NDB111").put(
            "An existing monitor for the object type: %s with different MonitorStatementMsg already exists",
            pb::ObjectType_Name(statement.object().object_type()).c_str());
        return false;
      }
    } else {
      vdb_statements.emplace(type, bytes);
      *request.add_add() = statement;
    }
    modules_[vdb_id][type].insert(module_id);
  }
  if (!data_stub_) return true;
  if (!health_stub_ || !ops_stub_ || (request.add_size() == 0 && request.remove_size() == 0) ||
      !monitor_sessions_enabled_ || SchemaDecisionPending()) {
    return true;
  }
  SendConfigureMonitor(request, vdb_id);
  return true;
}

bool NodeDbClient::UpdateMonitor(const std::vector<pb::MonitorStatementUpdateMsg>& updates, uint16_t vdb_id) {
  Lock lock(*mutex_);
  if (vdb_id != 1 && sessions_.count(vdb_id) == 0) {
    QBX_NDB_LOG(loglevel::kError).tag("NDB103").put("Unable to find monitor session for vdb_id %u", vdb_id);
    return false;
  }
  auto vdb_statements = statements_.find(vdb_id);
  if (vdb_statements == statements_.end()) {
    QBX_NDB_LOG(loglevel::kError).tag("NDB106").put("No existing monitor found for the given vdb_id %u", vdb_id);
    return false;
  }
  pb::ConfigureMonitorRequestMsg request;
  std::unordered_map<int, pb::MonitorStatementMsg> changed;
  for (const auto& update : updates) {
    const int type = static_cast<int>(update.object_type());
    const std::string type_name = pb::ObjectType_Name(update.object_type());
    pb::MonitorStatementMsg statement;
    auto already = changed.find(type);
    if (already != changed.end()) {
      statement = already->second;
    } else {
      auto stored = vdb_statements->second.find(type);
      if (stored == vdb_statements->second.end()) {
        QBX_NDB_LOG(loglevel::kError).tag("NDB112").put("Monitor for the object type: %s not found", type_name.c_str());
        return false;
      }
      statement.ParseFromString(stored->second);
    }
    auto* where = statement.mutable_object()->mutable_where();
    for (const auto& gone : update.remove_where()) {
      const std::string bytes = gone.SerializeAsString();
      int found = -1;
      for (int i = 0; i < where->size(); ++i) {
        if (where->Get(i).SerializeAsString() == bytes) {
          found = i;
          break;
        }
      }
      if (found < 0) {
        QBX_NDB_LOG(loglevel::kError).tag("NDB113").put("Where clause (%s) for the object type: %s not found",
                                                        gone.ShortDebugString().c_str(), type_name.c_str());
        return false;
      }
      where->SwapElements(found, where->size() - 1);
      where->RemoveLast();
    }
    for (const auto& extra : update.add_where()) {
      const std::string bytes = extra.SerializeAsString();
      for (const auto& w : *where) {
        if (w.SerializeAsString() == bytes) {
          QBX_NDB_LOG(loglevel::kError).tag("NDB114").put(
              "Existing where clause (%s) for the object type: %s already exists", extra.ShortDebugString().c_str(),
              type_name.c_str());
          return false;
        }
      }
      *where->Add() = extra;
    }
    *request.add_update() = update;
    changed[type] = statement;
  }
  for (const auto& [type, statement] : changed) vdb_statements->second[type] = statement.SerializeAsString();
  if (!data_stub_ || !health_stub_ || !ops_stub_ || SchemaDecisionPending()) return true;
  SendConfigureMonitor(request, vdb_id);
  return true;
}

}  // namespace nodedb
}  // namespace qbx
