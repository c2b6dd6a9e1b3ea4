// The process's one configuration-database client with its event-loop provider.
//
// Threading: constructed on the main thread before other threads exist; RunEventLoop is
// the body of the client's own thread and returns only when the holder is destroyed. The
// destructor stops the loop and waits until RunEventLoop has left it (unless it runs on
// that very thread), so that the io_context is never destroyed under a running loop.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "nodedb/nodedb_client.h"
#include "platform/runtime/asio_qbx_provider.h"

namespace qbx {

class NodeDbClientExporter {
 public:
  static constexpr char kEndpoint[] = "tcp://127.0.0.1:2480";
  static constexpr char kClientName[] = "stats-exporter";

  NodeDbClientExporter();
  ~NodeDbClientExporter();

  // Runs the provider's loop with one thread until the provider stops.
  void RunEventLoop();

  const std::shared_ptr<nodedb::NodeDbClient>& client() const { return client_; }
  AsioQbxProvider& provider() { return *provider_; }

 private:
  std::shared_ptr<boost::asio::io_context> io_;
  std::shared_ptr<AsioQbxProvider> provider_;
  std::shared_ptr<nodedb::NodeDbClient> client_;

  std::mutex mutex_;  // guards the fields below
  std::condition_variable loop_done_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> guard_;
  bool loop_running_ = false;
  std::thread::id loop_thread_;
};

}  // namespace qbx
