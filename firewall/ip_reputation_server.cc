#include "firewall/ip_reputation_server.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include <grpcpp/grpcpp.h>

#include "base/logger.h"
#include "platform/rpc/endpoint.h"
#include "platform/rpc/server_builder.h"
#include "zumbra/qbx/dfw/ip_reputation.grpc.pb.h"

namespace {

constexpr const char* kSubcomp = "agg-service";

class IpReputationService final : public zumbra::qbx::dfw::IpReputationDataService::Service {
 public:
  grpc::Status GetIpReputation(grpc::ServerContext*, const zumbra::qbx::dfw::IpReputationRequest* request,
                               zumbra::qbx::dfw::IpReputationResponse* response) override {
    for (const auto& address : request->ip_address()) {
      auto* entry = response->add_entry();
      entry->set_ip_address(address);
      entry->set_reputation(0);
    }
    return grpc::Status::OK;
  }
};

struct Control {
  std::mutex mutex;
  std::condition_variable cv;    // a stop request, or a run that ended
  uint64_t generation = 0;       // bumped by every stop request
  std::map<uint64_t, int> runs;  // runs in progress, by the generation they began in
};

Control& TheControl() {
  static auto* control = new Control;  // never destroyed: the server thread outlives main
  return *control;
}

}  // namespace

int RunIpReputationDataServer(void* /*unused*/, uint64_t runTimeMs) {
  const std::string dir = qbx::rpc::ServerBuilder::LocalSocketDirectory();
  const std::string endpoint =
      dir.empty() ? std::string("tcp://127.0.0.1:0")
                  : "unix:" + qbx::rpc::ServerBuilder::LocalSocketPath(
                                  dir, zumbra::qbx::dfw::IpReputationDataService::service_full_name());
  return RunIpReputationDataServer(endpoint, runTimeMs, {});
}

int RunIpReputationDataServer(const std::string& endpoint, uint64_t runTimeMs,
                              const std::function<void(int port)>& onListening) {
  Control& control = TheControl();
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(control.mutex);
    generation = control.generation;
    ++control.runs[generation];
  }
  // However the run ends, a stop request waiting for it learns so.
  struct RunEnd {
    Control& control;
    uint64_t generation;
    ~RunEnd() {
      {
        std::lock_guard<std::mutex> lock(control.mutex);
        if (--control.runs[generation] == 0) control.runs.erase(generation);
      }
      control.cv.notify_all();
    }
  } runEnd{control, generation};
  IpReputationService service;
  qbx::rpc::ServerBuilder builder;
  constexpr char kUnix[] = "unix:";
  if (endpoint.compare(0, sizeof(kUnix) - 1, kUnix) == 0) {
    builder.AddLocalSocket(endpoint.substr(sizeof(kUnix) - 1));
  } else {
    builder.AddListeningPort(qbx::net::Endpoint(endpoint));
  }
  // Announced once the socket listens: at once, or after the socket directory was repaired
  // (the server tries again on the process's retry schedule).
  builder.OnListening([&endpoint, &onListening](int port) {
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("[DFW][%s] IP-reputation data server listening on %s", "RunIpReputationDataServer",
             port > 0 ? ("port " + std::to_string(port)).c_str() : endpoint.c_str());
    if (onListening) onListening(port);
  });
  builder.RegisterService<zumbra::qbx::dfw::IpReputationDataService>(&service)
      .SetMaxReceiveMessageBytes(kIpReputationMaxRequestBytes);
  std::unique_ptr<qbx::rpc::Server> server = builder.BuildStarted();
  if (!server) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPAERR_INTERNAL_ERROR")
        .put("[DFW][%s] Cannot start the IP-reputation data server on %s", "RunIpReputationDataServer",
             endpoint.c_str());
    return -1;
  }
  {
    std::unique_lock<std::mutex> lock(control.mutex);
    auto stopped = [&] { return control.generation != generation; };
    if (runTimeMs == 0) {
      control.cv.wait(lock, stopped);
    } else {
      control.cv.wait_for(lock, std::chrono::milliseconds(runTimeMs), stopped);
    }
  }
  server->Shutdown();
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[DFW][%s] IP-reputation data server stopped", "RunIpReputationDataServer");
  return 0;
}

void StopIpReputationDataServer() {
  Control& control = TheControl();
  std::unique_lock<std::mutex> lock(control.mutex);
  const uint64_t stopped = ++control.generation;
  control.cv.notify_all();
  // Each run's shutdown is bounded (qbx::rpc::Server::kShutdownBound), and so is this wait.
  control.cv.wait(lock, [&] { return control.runs.empty() || control.runs.begin()->first >= stopped; });
}
