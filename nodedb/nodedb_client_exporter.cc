#include "nodedb/nodedb_client_exporter.h"


namespace qbx {

NodeDbClientExporter::NodeDbClientExporter()
    : io_(std::make_shared<boost::asio::io_context>()),
      provider_(std::make_shared<AsioQbxProvider>(io_, AsioQbxProvider::Options{false, false, 0}, "")),
      client_(std::make_shared<nodedb::NodeDbClient>(kClientName, net::Endpoint(kEndpoint), *provider_, nullptr,
                                                     true, true, false)) {}

NodeDbClientExporter::~NodeDbClientExporter() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    guard_.reset();
    provider_->Stop();
    if (loop_thread_ != std::this_thread::get_id()) {
      loop_done_.wait(lock, [this] { return !loop_running_; });
    }
  }
  client_.reset();
  provider_->StopAndWait();
}

void NodeDbClientExporter::RunEventLoop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (provider_->IsStopped()) return;
    // The loop must not end for lack of work while the client waits for its peer.
    guard_.emplace(boost::asio::make_work_guard(*io_));
    loop_running_ = true;
    loop_thread_ = std::this_thread::get_id();
  }
  provider_->Run(1);
  std::lock_guard<std::mutex> lock(mutex_);
  loop_running_ = false;
  loop_done_.notify_all();
}

}  // namespace qbx
