// The management-plane road below the MPA clients: stubs of AggSvcMpService for
// "qbx://<APH>" endpoints made on the proxy client's forwarding provider reach the
// stand-in's APHs through the forwarding connection, routed by destination id; app-init
// replies (answered, failed, held), publishes, unknown APHs, and stream-down when the
// forwarding connection drops.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "channels/proxy/tn_proxy_client_common.h"
#include "core/stub_creator.h"
#include "platform/rpc/asio_qbx_rpc_provider.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "tests/channels/proxy/tnproxy_test_util.h"
#include "tools/tnproxy_standin/tnproxy_standin.h"
#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.grpc.pb.h"
#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.pb.h"

namespace qbx {
namespace {

using test::Eventually;
using tools::TnProxyStandin;
using namespace std::chrono_literals;
using MpStub = rpc::Stub<zumbra::qbx::agg_service::messaging::AggSvcMpService>;
using Unified = zumbra::qbx::messaging::GenericUnifiedMsg;

constexpr char kAph1[] = "a0000000-0000-4000-8000-000000000001";
constexpr char kAph2[] = "a0000000-0000-4000-8000-000000000002";

// Shared with the observer, so the test reads results after the observer deleted itself.
struct CallResult {
  std::mutex mutex;
  std::optional<rpc::Status> status;
  std::optional<Unified> reply;
  bool Done() {
    std::lock_guard<std::mutex> lock(mutex);
    return status.has_value();
  }
};

template <class Response>
class RecordingObserver : public rpc::CallObserver<Response> {
 public:
  explicit RecordingObserver(std::shared_ptr<CallResult> result) : result_(std::move(result)) {}
  void Next(const Response& response) override {
    if constexpr (std::is_same_v<Response, Unified>) {
      std::lock_guard<std::mutex> lock(result_->mutex);
      result_->reply = response;
    } else {
      (void)response;
    }
  }
  void CallStatus(const rpc::Status& status) override {
    {
      std::lock_guard<std::mutex> lock(result_->mutex);
      result_->status = status;
    }
    delete this;
  }

 private:
  std::shared_ptr<CallResult> result_;
};

Unified AppInitRequest(const std::string& app) {
  zumbra::qbx::agg_service::messaging::AggSvcMpUnifiedMsg mp;
  mp.mutable_appinit_app_init_msg()->set_app_name(app);
  Unified msg;
  msg.set_payload(mp.SerializeAsString());
  return msg;
}

class MpTransportForwardingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    infoPort_ = standin_.StartInfo("127.0.0.1:0");
    fwdPort_ = standin_.StartForwarding("127.0.0.1:0");
    ASSERT_GT(infoPort_, 0);
    ASSERT_GT(fwdPort_, 0);
    standin_.SetAphs({{kAph1, true}, {kAph2, false}});
    client_ = TnProxyClientCommon::Create("AggSvc", "tcp://127.0.0.1:" + std::to_string(infoPort_),
                                          "tcp://127.0.0.1:" + std::to_string(fwdPort_), {});
    client_->Start();
    ASSERT_TRUE(Eventually([&] { return client_->IsConnectedForForwarding(); }));
  }
  void TearDown() override { client_->Stop(); }

  std::optional<MpStub> MakeStub(const std::string& aph, rpc::StubCreationStatus* statusOut = nullptr) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto result = std::make_shared<std::optional<MpStub>>();
    auto status = std::make_shared<rpc::StubCreationStatus>(rpc::StubCreationStatus::kFailed);
    client_->GetProvider()->rpc().stub_factory().create<MpStub>(
        "AggSvcMpService", "qbx://" + aph,
        [done, result, status](const std::optional<MpStub>& stub, rpc::StubCreationStatus st) {
          *result = stub;
          *status = st;
          done->store(true);
        });
    EXPECT_TRUE(Eventually([&] { return done->load(); }));
    if (statusOut) *statusOut = *status;
    return *result;
  }

  std::shared_ptr<CallResult> Rpc(const MpStub& stub, const Unified& request) {
    auto result = std::make_shared<CallResult>();
    rpc::client::AsyncCall<Unified, Unified>(stub.channel(), "RpcMsgHandler", rpc::ClientContext("test"), request,
                                             new RecordingObserver<Unified>(result));
    return result;
  }

  TnProxyStandin standin_;
  int infoPort_ = -1;
  int fwdPort_ = -1;
  std::shared_ptr<TnProxyClientCommon> client_;
};

TEST_F(MpTransportForwardingTest, AppInitReachesTheNamedAphAndIsAnswered) {
  auto stub = MakeStub(kAph1);
  ASSERT_TRUE(stub.has_value());
  auto result = Rpc(*stub, AppInitRequest("HostNodeStatusVertical"));
  ASSERT_TRUE(Eventually([&] { return result->Done(); }));
  ASSERT_TRUE(result->status->ok()) << result->status->ToString();
  ASSERT_TRUE(result->reply.has_value());
  zumbra::qbx::agg_service::messaging::AggSvcHostUnifiedMsg host;
  ASSERT_TRUE(host.ParseFromString(result->reply->payload()));
  EXPECT_EQ(host.app_init_config().sender(), kAph1);
  EXPECT_EQ(standin_.AppInitRequestCount(kAph1), 1);
  EXPECT_EQ(standin_.AppInitRequestCount(kAph2), 0);
}

TEST_F(MpTransportForwardingTest, FailedAndHeldAppInitsEndWithAnErrorStatus) {
  auto stub = MakeStub(kAph2);
  ASSERT_TRUE(stub.has_value());
  standin_.SetAppInitMode(kAph2, TnProxyStandin::AppInitMode::kFail);
  auto failed = Rpc(*stub, AppInitRequest("app"));
  ASSERT_TRUE(Eventually([&] { return failed->Done(); }));
  EXPECT_FALSE(failed->status->ok());

  standin_.SetAppInitMode(kAph2, TnProxyStandin::AppInitMode::kHold);
  auto held = Rpc(*stub, AppInitRequest("app"));
  ASSERT_TRUE(Eventually([&] { return standin_.AppInitRequestCount(kAph2) == 2; }));
  EXPECT_FALSE(held->Done());
  standin_.ReleaseHeldAppInits(true);
  ASSERT_TRUE(Eventually([&] { return held->Done(); }));
  EXPECT_TRUE(held->status->ok());
}

TEST_F(MpTransportForwardingTest, PublishesAreRecordedPerAphAndUnknownAphsAreRefused) {
  auto stub = MakeStub(kAph1);
  ASSERT_TRUE(stub.has_value());
  Unified publish;
  publish.set_payload("status-update");
  auto result = std::make_shared<CallResult>();
  rpc::client::AsyncCall<Unified, zumbra::qbx::VoidMsg>(stub->channel(), "MsgHandler", rpc::ClientContext("test"),
                                                        publish, new RecordingObserver<zumbra::qbx::VoidMsg>(result));
  ASSERT_TRUE(Eventually([&] { return result->Done(); }));
  EXPECT_TRUE(result->status->ok());
  auto received = standin_.ReceivedMessages();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].aph, kAph1);
  EXPECT_TRUE(received[0].publish);
  EXPECT_EQ(received[0].msg.payload(), "status-update");

  auto unknown = MakeStub("a0000000-0000-4000-8000-0000000000ff");
  ASSERT_TRUE(unknown.has_value());
  auto refused = Rpc(*unknown, AppInitRequest("app"));
  ASSERT_TRUE(Eventually([&] { return refused->Done(); }));
  EXPECT_FALSE(refused->status->ok());
}

TEST_F(MpTransportForwardingTest, ForwardingDropTakesTheStreamDownAndANewStubWorksAfterRecovery) {
  auto stub = MakeStub(kAph1);
  ASSERT_TRUE(stub.has_value());
  std::atomic<int> downs{0};
  stub->SetOnStreamDown([&downs](rpc::CloseReason) { ++downs; });
  standin_.StopForwarding();
  ASSERT_TRUE(Eventually([&] { return downs.load() == 1; }));
  ASSERT_TRUE(Eventually([&] { return !client_->IsConnectedForForwarding(); }));
  auto dead = Rpc(*stub, AppInitRequest("app"));
  ASSERT_TRUE(Eventually([&] { return dead->Done(); }));
  EXPECT_FALSE(dead->status->ok());

  ASSERT_GT(standin_.StartForwarding("127.0.0.1:" + std::to_string(fwdPort_)), 0);
  ASSERT_TRUE(Eventually([&] { return client_->IsConnectedForForwarding(); }));
  auto fresh = MakeStub(kAph1);
  ASSERT_TRUE(fresh.has_value());
  auto answered = Rpc(*fresh, AppInitRequest("app"));
  ASSERT_TRUE(Eventually([&] { return answered->Done(); }));
  EXPECT_TRUE(answered->status->ok());
}

}  // namespace
}  // namespace qbx
