// A server's shutdown never waits unbounded: the open calls of a tracked service are ended
// first, and a call that nobody ends (an untracked service) only delays the shutdown by the
// bound, after which the server is left behind and freed if the call ever ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include <grpcpp/grpcpp.h>

#include "platform/rpc/endpoint.h"
#include "platform/rpc/open_calls.h"
#include "platform/rpc/server_builder.h"
#include "tests/rpc/fakes/fake_rpc.h"
#include "tests/rpc/fakes/wait.h"
#include "zumbra/qbx/daemon/daemon_health.grpc.pb.h"

namespace qbx {
namespace {

using zumbra::qbx::daemon::DaemonHealth;
using zumbra::qbx::daemon::EchoMsg;

// Calls stay open until the test ends them; with `calls` set, each open call is tracked.
class HoldingEcho : public DaemonHealth::CallbackService {
 public:
  class Call : public rpc::OpenCall {
   public:
    explicit Call(grpc::ServerUnaryReactor* reactor) : reactor_(reactor) {}
    void EndForShutdown() override { End(grpc::Status(grpc::StatusCode::ABORTED, "shutting down")); }
    void End(const grpc::Status& status) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (done_) return;
      done_ = true;
      reactor_->Finish(status);
    }

   private:
    grpc::ServerUnaryReactor* reactor_;
    std::mutex mutex_;
    bool done_ = false;
  };

  grpc::ServerUnaryReactor* Echo(grpc::CallbackServerContext* context, const EchoMsg*, EchoMsg*) override {
    auto* reactor = context->DefaultReactor();
    auto call = std::make_shared<Call>(reactor);
    if (calls && !calls->Add(call.get())) call->End(grpc::Status(grpc::StatusCode::ABORTED, "closed"));
    std::lock_guard<std::mutex> lock(mutex);
    held.push_back(call);
    return reactor;
  }
  size_t Held() {
    std::lock_guard<std::mutex> lock(mutex);
    return held.size();
  }

  std::shared_ptr<rpc::OpenCalls> calls;
  std::mutex mutex;
  std::vector<std::shared_ptr<Call>> held;  // never removed: the calls outlive the server
};

struct Caller {
  std::unique_ptr<DaemonHealth::Stub> stub;
  grpc::ClientContext context;
  EchoMsg request, reply;
  std::promise<grpc::Status> done;

  explicit Caller(int port) {
    stub = DaemonHealth::NewStub(grpc::CreateChannel("127.0.0.1:" + std::to_string(port),
                                                     grpc::InsecureChannelCredentials()));
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(60));  // hang guard
    stub->async()->Echo(&context, &request, &reply, [this](grpc::Status s) { done.set_value(std::move(s)); });
  }
};

std::unique_ptr<rpc::Server> Serve(HoldingEcho& service) {
  rpc::ServerBuilder builder;
  builder.AddListeningPort(net::Endpoint("tcp://127.0.0.1:0"));
  builder.RegisterService<DaemonHealth>(&service);
  if (service.calls) builder.TrackOpenCalls(service.calls);
  return builder.BuildStarted();
}

TEST(ServerShutdownTest, TrackedOpenCallsAreEndedAndTheShutdownCompletes) {
  HoldingEcho service;
  service.calls = std::make_shared<rpc::OpenCalls>();
  auto server = Serve(service);
  ASSERT_NE(server, nullptr);
  Caller caller(server->port());
  ASSERT_TRUE(testing::WaitUntil([&] { return service.Held() == 1; }));
  testing::LogCapture log;
  server->Shutdown();
  EXPECT_TRUE(log.Contains("ended 1 open call(s) at shutdown"));
  EXPECT_FALSE(log.Contains("RPC201"));
  auto status = caller.done.get_future();
  ASSERT_EQ(status.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(status.get().error_code(), grpc::StatusCode::ABORTED);
  EXPECT_TRUE(service.calls->closed());
}

TEST(ServerShutdownTest, ACallNobodyEndsDelaysTheShutdownOnlyByItsBound) {
  HoldingEcho service;  // untracked
  auto server = Serve(service);
  ASSERT_NE(server, nullptr);
  Caller caller(server->port());
  ASSERT_TRUE(testing::WaitUntil([&] { return service.Held() == 1; }));
  testing::LogCapture log;
  server->Shutdown(std::chrono::milliseconds(0), std::chrono::milliseconds(200));  // returns
  EXPECT_TRUE(log.Contains("shutdown still waiting for calls after 200 ms"));
  server->SetServing(DaemonHealth::service_full_name(), false);  // harmless on a server left behind
  server.reset();
  // The call ends at last: the server left behind completes its shutdown and is freed.
  service.held[0]->End(grpc::Status(grpc::StatusCode::UNAVAILABLE, "late"));
  EXPECT_TRUE(testing::WaitUntil([&] { return log.Contains("shutdown completed late"); }));
  auto status = caller.done.get_future();
  ASSERT_EQ(status.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_FALSE(status.get().ok());
}

}  // namespace
}  // namespace qbx
