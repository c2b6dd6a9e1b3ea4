// The contract of the local configuration-database client, as the collectors hold it.
//
// Update, barrier, monitor-end and modification callbacks run on the client's event-loop
// thread. A bool result is true when the operation was accepted or sent, false when it was
// refused.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/rpc/status.h"
#include "zumbra/qbx/daemon/daemon_health.pb.h"
#include "zumbra/qbx/nodedb/nodedb.pb.h"
#include "zumbra/qbx/nodedb/object.pb.h"

namespace qbx {
namespace nodedb {

using UpdateCallback = std::function<void(const zumbra::qbx::nodedb::MonitorUpdateMsg&)>;
using BarrierCallback = std::function<void()>;
using ChannelStatusCallback = std::function<void(bool)>;
using DoneCallback = std::function<void()>;
using SchemaVersionCallback = std::function<void(const std::string&, const rpc::Status&)>;
using SchemaCallback = std::function<void(const std::string&, const std::string&, const rpc::Status&)>;
using ObjectsCallback =
    std::function<void(const std::vector<zumbra::qbx::nodedb::TypedObjectMsg>&, const rpc::Status&)>;
using CreateVDbCallback = std::function<void(uint32_t, const rpc::Status&)>;
using DeleteVDbCallback = std::function<void(const rpc::Status&)>;
using VDbsCallback = std::function<void(const std::vector<zumbra::qbx::nodedb::VDbMsg>&, const rpc::Status&)>;
using EchoCallback = std::function<void(const std::string&, const rpc::Status&)>;

class NodeDbClientInterface {
 public:
  virtual ~NodeDbClientInterface() = default;

  virtual bool RegisterMonitorCallback(uint32_t module_id, const UpdateCallback& update,
                                       const BarrierCallback& barrier, uint16_t vdb_id) = 0;
  virtual void AddChannelStatusCallback(const ChannelStatusCallback& callback) = 0;
  virtual bool AddMonitorSession(uint16_t vdb_id) = 0;
  virtual bool RemoveMonitorSession(uint16_t vdb_id) = 0;
  virtual bool EnableMonitorSessionCreation() = 0;
  virtual bool ConfigureMonitor(const std::vector<zumbra::qbx::nodedb::MonitorStatementMsg>& add,
                                const std::vector<zumbra::qbx::nodedb::MonitorStatementMsg>& remove,
                                uint32_t module_id, uint16_t vdb_id) = 0;
  virtual bool UpdateMonitor(const std::vector<zumbra::qbx::nodedb::MonitorStatementUpdateMsg>& updates,
                             uint16_t vdb_id) = 0;
  virtual bool GetServerSchemaVersion(const SchemaVersionCallback& callback) = 0;
  virtual bool GetServerSchema(const SchemaCallback& callback) = 0;
  virtual void Modify(const std::vector<zumbra::qbx::nodedb::ModifyRequestMsg>& requests,
                      const DoneCallback& done) = 0;
  virtual bool Get(const std::vector<zumbra::qbx::nodedb::ObjectRequestMsg>& requests,
                   const ObjectsCallback& callback, uint16_t vdb_id) = 0;
  virtual bool Query(const zumbra::qbx::nodedb::StatementMsg& statement, const ObjectsCallback& callback,
                     uint16_t vdb_id) = 0;
  virtual bool CreateVDb(const std::string& name, const CreateVDbCallback& callback) = 0;
  virtual bool DeleteVDb(const std::string& name, const DeleteVDbCallback& callback, uint16_t vdb_id) = 0;
  virtual bool GetVDbId(const std::string& name, const VDbsCallback& callback) = 0;
  virtual bool Echo(const std::string& text, const EchoCallback& callback) = 0;
  virtual void Start() = 0;
};

}  // namespace nodedb
}  // namespace qbx
