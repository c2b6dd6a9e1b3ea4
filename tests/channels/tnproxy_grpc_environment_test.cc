// Keeps one callback-API gRPC server alive for the whole test program.
//
// The tests here start and stop many servers and channels. gRPC 1.51 shares one internal
// completion queue among every user of its callback API and tears it down when the last
// user goes; a new user arriving while the old queue's thread is still ending can make that
// thread drop a reference twice and abort the process. Holding one user for the program's
// lifetime keeps the shared queue from ever being torn down mid-run.
#include <memory>

#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include "zumbra/qbx/messaging/appl_proxy_info.grpc.pb.h"

namespace {

class GrpcCallbackQueueHolder : public ::testing::Environment {
 public:
  void SetUp() override {
    grpc::ServerBuilder builder;
    int port = 0;
    builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
    builder.RegisterService(&service_);
    server_ = builder.BuildAndStart();
  }
  void TearDown() override {
    if (server_) server_->Shutdown();
    server_.reset();
  }

 private:
  zumbra::qbx::messaging::ApplProxyInfoService::CallbackService service_;
  std::unique_ptr<grpc::Server> server_;
};

[[maybe_unused]] ::testing::Environment* const kHolder =
    ::testing::AddGlobalTestEnvironment(new GrpcCallbackQueueHolder());

TEST(TnProxyGrpcEnvironmentTest, CallbackServerIsServing) {
  // The holder above started; a stand-in started now shares its callback queue.
  SUCCEED();
}

}  // namespace
