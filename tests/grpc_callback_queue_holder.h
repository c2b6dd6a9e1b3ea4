// Keeps one callback-API gRPC server alive for the whole test program.
//
// gRPC 1.51 shares one internal completion queue among every user of its callback API and
// tears it down when the last user goes; a new user arriving while the old queue's thread is
// still ending can make that thread drop a reference twice and abort the process. Tests
// that start and stop many servers and channels include this header: its one holder (an
// inline variable, so one per program however many files include it) keeps the shared queue
// from ever being torn down mid-run.
#pragma once

#include <memory>

#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include "zumbra/qbx/messaging/appl_proxy_info.grpc.pb.h"

namespace qbx::test {

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

[[maybe_unused]] inline ::testing::Environment* const kGrpcCallbackQueueHolder =
    ::testing::AddGlobalTestEnvironment(new GrpcCallbackQueueHolder());

}  // namespace qbx::test
