#include "platform/rpc/connection_manager.h"

#include "platform/rpc/rpc_log.h"

namespace qbx {
namespace rpc {

class ConnectionKeeper : public std::enable_shared_from_this<ConnectionKeeper> {
 public:
  ConnectionKeeper(const net::Endpoint& endpoint, const ConnectionParams& params, TransportInterface& transport,
                   TimerFactory& timers)
      : endpoint_(endpoint), params_(params), retry_(params.reconnect_policy.retry()), transport_(transport),
        timers_(timers) {}

  void Connect() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopped_) return;
    }
    std::weak_ptr<ConnectionKeeper> weak = weak_from_this();
    transport_.GetConnection(endpoint_, [weak](const boost::system::error_code& error,
                                               const std::shared_ptr<Connection>& connection) {
      if (auto self = weak.lock()) self->OnConnection(error, connection);
    });
  }

  void Stop() {
    std::shared_ptr<Timer> timer;
    std::shared_ptr<Connection> connection;
    uint64_t listener = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
      timer = std::move(timer_);
      connection = std::move(connection_);
      listener = listener_;
    }
    if (timer) timer->Cancel();
    if (connection) connection->RemoveCloseListener(listener);
  }

 private:
  void OnConnection(const boost::system::error_code& error, const std::shared_ptr<Connection>& connection) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopped_) return;
      if (error) {
        ScheduleLocked();
        return;
      }
      connection_ = connection;
      retry_.Reset();
    }
    std::weak_ptr<ConnectionKeeper> weak = weak_from_this();
    const uint64_t id = connection->AddCloseListener([weak](CloseReason reason) {
      if (auto self = weak.lock()) self->OnClosed(reason);
    });
    {
      std::lock_guard<std::mutex> lock(mutex_);
      listener_ = id;
    }
    if (params_.connected_callback) params_.connected_callback(ConnectionInfo{endpoint_});
  }

  void OnClosed(CloseReason reason) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopped_) return;
      connection_.reset();
      if (params_.reconnect_policy.behavior() == ReconnectPolicy::ReconnectBehavior::kReconnect) ScheduleLocked();
    }
    if (params_.closed_callback) params_.closed_callback(endpoint_, reason);
  }

  // With mutex_ held.
  void ScheduleLocked() {
    const int64_t delay = retry_.NextDelay();
    if (delay < 0) {
      QBX_RPC_LOG(loglevel::kWarning).put("Giving up the connection to %s", endpoint_.uri().c_str());
      return;
    }
    std::weak_ptr<ConnectionKeeper> weak = weak_from_this();
    timer_ = timers_.Schedule(std::chrono::milliseconds(delay), [weak] {
      if (auto self = weak.lock()) self->Connect();
    });
  }

  const net::Endpoint endpoint_;
  const ConnectionParams params_;
  std::mutex mutex_;  // guards the fields below
  RetryPolicy retry_;
  TransportInterface& transport_;
  TimerFactory& timers_;
  std::shared_ptr<Timer> timer_;
  std::shared_ptr<Connection> connection_;
  uint64_t listener_ = 0;
  bool stopped_ = false;
};

ConnectionManager::ConnectionManager(AsioQbxRpcProvider& rpc) : rpc_(rpc), timers_(rpc.stub_factory().timers()) {}

ConnectionManager::~ConnectionManager() {
  std::map<std::string, std::shared_ptr<ConnectionKeeper>> keepers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    keepers.swap(keepers_);
  }
  for (auto& [uri, keeper] : keepers) keeper->Stop();
}

bool ConnectionManager::RequestConnection(const net::Endpoint& endpoint, const ConnectionParams& params) {
  if (!endpoint.valid()) return false;
  std::shared_ptr<ConnectionKeeper> keeper;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = keepers_[endpoint.uri()];
    if (slot) return false;
    slot = std::make_shared<ConnectionKeeper>(endpoint, params, rpc_.transport(), timers_);
    keeper = slot;
  }
  // A gateway connection that forwards is the way to every "qbx://ID" peer of this
  // provider: its stubs for forwarded endpoints go through it.
  if (params.rpc_connection_options.gateway && params.rpc_connection_options.gateway_forward && endpoint.is_tcp()) {
    rpc_.transport().SetForwardingEndpoint(endpoint.uri());
  }
  keeper->Connect();
  return true;
}

uint8_t ConnectionManager::TearDownConnection(const net::Endpoint& endpoint) {
  std::shared_ptr<ConnectionKeeper> keeper;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = keepers_.find(endpoint.uri());
    if (it == keepers_.end()) return 1;
    keeper = std::move(it->second);
    keepers_.erase(it);
  }
  keeper->Stop();
  return 0;
}

}  // namespace rpc
}  // namespace qbx
