// The transport-node proxy-information client when its proxy-information connection closes,
// against the stand-in proxy on a manual clock: the APH list it had is no longer taken as
// current, so a forwarding reconnect before the next list connects the clients but asks
// for no stub update; the new subscription's first list does.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "channels/proxy/tn_proxy_client_common.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/channels/proxy/tnproxy_test_util.h"
#include "tools/tnproxy_standin/tnproxy_standin.h"

namespace qbx {
namespace {

using test::Eventually;
using namespace std::chrono_literals;

constexpr char kAph[] = "a0000000-0000-4000-8000-0000000000d1";

TEST(TnProxyInfoClose, AForwardingReconnectAfterTheInformationClosedPostsNoStubUpdate) {
  test::LogCapture logs;
  tools::TnProxyStandin standin;
  const int infoPort = standin.StartInfo("127.0.0.1:0");
  const int fwdPort = standin.StartForwarding("127.0.0.1:0");
  ASSERT_GT(infoPort, 0);
  ASSERT_GT(fwdPort, 0);
  standin.SetAphs({{kAph, true}});
  auto clock = std::make_shared<ManualClock>();
  TnProxyClientCommon::Options options;
  options.clock = clock;
  auto client = TnProxyClientCommon::Create("AggSvc", "tcp://127.0.0.1:" + std::to_string(infoPort),
                                            "tcp://127.0.0.1:" + std::to_string(fwdPort), options);
  std::atomic<int> connects{0};
  std::atomic<int> updates{0};
  client->SetTnProxyConnectionUp("app", [&] { ++connects; });
  client->SetUpdateStubs("app", [&] { ++updates; });
  client->SetTnProxyConnectionDown("app", [](rpc::CloseReason) {});
  client->Start();
  auto advanceUntil = [&](const std::function<bool()>& pred) {
    return Eventually([&] {
      if (pred()) return true;
      clock->Advance(100ms);
      return pred();
    });
  };
  // Runs what is already posted to the forwarding provider (the stub updates among it).
  auto drain = [&] {
    auto done = std::make_shared<std::atomic<bool>>(false);
    client->GetProvider()->dispatcher().Post([done] { done->store(true); });
    return Eventually([&] { return done->load(); });
  };
  ASSERT_TRUE(advanceUntil([&] { return connects.load() == 1 && updates.load() == 1; }));

  standin.StopInfo();
  ASSERT_TRUE(Eventually([&] { return logs.Count("Connection closed with TnProxy, reason") == 1; }));
  standin.StopForwarding();
  ASSERT_TRUE(Eventually([&] { return !client->IsConnectedForForwarding(); }));
  ASSERT_GT(standin.StartForwarding("127.0.0.1:" + std::to_string(fwdPort)), 0);
  ASSERT_TRUE(advanceUntil([&] { return connects.load() == 2; }));
  ASSERT_TRUE(drain());
  EXPECT_EQ(updates.load(), 1);

  // The information back: its first list asks for the update.
  ASSERT_GT(standin.StartInfo("127.0.0.1:" + std::to_string(infoPort)), 0);
  ASSERT_TRUE(advanceUntil([&] { return updates.load() == 2; }));
  EXPECT_TRUE(client->IsStubCreationEnabled());
  client->Stop();
}

}  // namespace
}  // namespace qbx
