// One aggregation application on the management-plane road, over loopback gRPC against the
// stand-in transport-node proxy: the proxy client and the registration provider run on a
// manual clock, and the application's registration acknowledgements and close notices are
// counted. Tests open the client and start the proxy client themselves.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "channels/mpa/agg_svc_host_service.h"
#include "channels/mpa/mpa_client_private.h"
#include "channels/proxy/tn_proxy_client_common.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/channels/proxy/tnproxy_test_util.h"
#include "tools/tnproxy_standin/tnproxy_standin.h"

namespace qbx::test {

class MpClientRoadTest : public ::testing::Test {
 protected:
  using Client = MpaClientPrivate<AggSvcMpStub>;

  explicit MpClientRoadTest(std::string app) : app_(std::move(app)) {}

  void SetUp() override {
    ASSERT_GT(standin_.StartInfo("127.0.0.1:0"), 0);
    fwdPort_ = standin_.StartForwarding("127.0.0.1:0");
    ASSERT_GT(fwdPort_, 0);
    clock_ = std::make_shared<ManualClock>();
    TnProxyClientCommon::Options options;
    options.clock = clock_;
    tnProxy_ = TnProxyClientCommon::Create("AggSvc", "tcp://127.0.0.1:" + std::to_string(standin_.InfoPort()),
                                           "tcp://127.0.0.1:" + std::to_string(fwdPort_), options);
    regProvider_ = std::make_shared<AsioQbxProvider>(AsioQbxProvider::Options{}, "reg", clock_);
    regProvider_->RunAsync(1);
    MpaClient::ResetRegistryForTest();
    AggSvcHostService::ResetForTest();
    auto tn = tnProxy_;
    MpaClient::SetAggAppClientFactory(
        [tn](const MpaClient::CreateArgs& args) -> std::shared_ptr<MpaClient> { return std::make_shared<Client>(args, tn); });
    auto acks = acks_;
    auto closes = closes_;
    MpaClient::Register(
        regProvider_,
        [acks, closes](rmqClientMessage* m) {
          if (m->messageType == 2) ++*acks;
          if (m->messageType == 5) ++*closes;
        },
        app_, "qbx", 1, 9002, 1, 2, nullptr);
    client_ = std::dynamic_pointer_cast<Client>(MpaClient::GetClient(app_));
    ASSERT_NE(client_, nullptr);
  }

  void TearDown() override {
    MpaClient::UnRegister(app_);
    client_.reset();
    tnProxy_->Stop();
    regProvider_->StopAndWait(true);
    MpaClient::SetAggAppClientFactory(nullptr);
    MpaClient::ResetRegistryForTest();
    AggSvcHostService::ResetForTest();
  }

  // Opens the client, serves {master, other} and waits until both stubs exist, the
  // application is acknowledged and the proxy watches the destinations' streams.
  void StartWithTwoAphs(const std::string& master, const std::string& other) {
    client_->Open([](const std::string&) {});
    standin_.SetAphs({{master, true}, {other, false}});
    tnProxy_->Start();
    ASSERT_TRUE(AdvanceUntil([&] { return client_->StubCount() == 2 && acks_->load() == 1; }));
    ASSERT_TRUE(Eventually([&] { return standin_.DestinationWatchers() >= 1; }));
  }

  // Opens the client and serves {master, held} with `held`'s stub creation held in flight;
  // waits until the master's stub exists and the held creation has reached the proxy.
  void StartWithCreationHeld(const std::string& master, const std::string& held) {
    client_->Open([](const std::string&) {});
    standin_.HoldStubCreation(held, true);
    standin_.SetAphs({{master, true}, {held, false}});
    tnProxy_->Start();
    ASSERT_TRUE(AdvanceUntil([&] { return client_->StubCount() == 1 && standin_.HeldStubCreations() == 1; }));
    ASSERT_EQ(client_->InflightCount(), 1u);
  }

  // Moves the manual clock on in `step`s until `pred` holds.
  bool AdvanceUntil(const std::function<bool()>& pred,
                    std::chrono::milliseconds step = std::chrono::milliseconds(500)) {
    return Eventually([&] {
      if (pred()) return true;
      clock_->Advance(step);
      return pred();
    });
  }

  const std::string app_;
  LogCapture logs_;
  tools::TnProxyStandin standin_;
  int fwdPort_ = -1;
  std::shared_ptr<ManualClock> clock_;
  std::shared_ptr<TnProxyClientCommon> tnProxy_;
  std::shared_ptr<AsioQbxProvider> regProvider_;
  std::shared_ptr<std::atomic<int>> acks_ = std::make_shared<std::atomic<int>>(0);
  std::shared_ptr<std::atomic<int>> closes_ = std::make_shared<std::atomic<int>>(0);
  std::shared_ptr<Client> client_;
};

// The fixture for the application named by `App`.
template <const char* App>
class MpClientRoadTestFor : public MpClientRoadTest {
 protected:
  MpClientRoadTestFor() : MpClientRoadTest(App) {}
};

}  // namespace qbx::test
