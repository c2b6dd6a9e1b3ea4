// A stand-in of the node's configuration database, serving NodeDb, NodeDbOps and
// DaemonHealth over gRPC.
//
// It keeps tables per VDb (rows of an object type by key), serves monitor sessions (a
// snapshot of the monitored tables with a barrier when the session starts or a table is
// added, then every applied change with a barrier per modification call), applies
// modifications, and answers reads, VDb operations, schema requests and echo.
//
// Test controls: stop and restart (keeping or dropping the data, or letting the old server's
// held schema requests outlive it), end every monitor stream
// with a chosen status code, refuse one service while the connection stays up, hold the next
// (or a later) modification until released, fail the next modification with a chosen code, hold or fail
// the schema requests and choose the schema version it reports.
//
// Threading: every public operation may be called from any thread. One mutex guards the
// data, the sessions and the controls; it is never held while gRPC operations start.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/rpc/endpoint.h"
#include "zumbra/qbx/nodedb/nodedb.pb.h"

namespace qbx {
namespace rpc {
class Server;
}
namespace tools {

class NodeDbStandin {
 public:
  struct Options {
    // Port 0 picks a free port (tests); the binary uses "tcp://127.0.0.1:2480".
    std::string endpoint = "tcp://127.0.0.1:0";
    std::string schema_version = "3.2.0";
  };

  explicit NodeDbStandin(Options options);
  NodeDbStandin() : NodeDbStandin(Options()) {}
  ~NodeDbStandin();
  NodeDbStandin(const NodeDbStandin&) = delete;
  NodeDbStandin& operator=(const NodeDbStandin&) = delete;

  // Starts serving; false when the port cannot be bound. A restart binds the same port.
  bool Start();
  // Ends every call and stops listening.
  void Stop();
  bool Restart(bool keep_data);
  // Restarts, keeping the data, as a database that lets the calls it has taken finish: the
  // old server stops listening and tells its clients to go (they connect to the new one),
  // while the schema requests it holds stay held over the old connections, to be answered by
  // ReleaseSchemaRequests (or ended by Stop) within `grace`. Its monitor streams and held
  // modifications end as at Stop.
  bool RestartDraining(std::chrono::milliseconds grace);
  // The first half of RestartDraining: stops listening and lets the held schema requests
  // outlive the server; Start serves again.
  void StopDraining(std::chrono::milliseconds grace);
  bool running() const;
  int port() const;
  std::string endpoint() const;  // "tcp://127.0.0.1:PORT"

  // ---- test controls
  void EndMonitorStreams(uint32_t code);
  // Full service name, e.g. "zumbra.qbx.nodedb.NodeDbOps".
  void SetServing(const std::string& service, bool serving);
  // Holds a modification call: the next one, or the one after `after_calls` more calls
  // that are applied and answered as usual.
  void HoldNextModify(uint64_t after_calls = 0);
  // Applies and answers the held modifications; returns how many there were.
  size_t ReleaseHeldModifies();
  size_t held_modifies() const;
  void FailNextModify(uint32_t code);
  // How GetSchema and GetSchemaVersion are answered: at once (the default), held until
  // ReleaseSchemaRequests, or failed with the given status code.
  enum class SchemaAnswer { kAnswer, kHold, kFail };
  void SetSchemaAnswers(SchemaAnswer schema, SchemaAnswer version, uint32_t fail_code = 13);
  void SetSchemaVersion(const std::string& version);
  // Answers the held schema requests; returns how many there were.
  size_t ReleaseSchemaRequests();
  size_t held_schema_requests() const;

  // ---- inspection
  std::map<std::string, std::string> Table(uint32_t vdb_id, zumbra::qbx::nodedb::ObjectType type) const;
  // Puts a row as a modification would, notifying the monitors.
  void Put(uint32_t vdb_id, zumbra::qbx::nodedb::ObjectType type, const std::string& key, const std::string& value);
  uint64_t modify_calls() const;
  uint64_t applied_operations() const;
  uint64_t monitor_calls() const;
  size_t active_monitors() const;
  // The statements of the running monitor streams of a VDb, by object type.
  std::vector<int> MonitoredTypes(uint32_t vdb_id) const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// The schema text served by GetSchema: the ObjectType enumeration as proto text.
std::string SchemaText();

}  // namespace tools
}  // namespace qbx
