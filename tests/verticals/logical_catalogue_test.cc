// The logical switching and routing catalogue: every message type is filed under the right
// vertical and map, and is reachable by the names the management plane uses.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/aggsvc/fakes/test_vertical.h"
#include "verticals/l2_exporter.h"
#include "verticals/l3_exporter.h"
#include "zumbra/qbx/agg_service/l2/l2_status.pb.h"

namespace {

using qbx::test::ClientHarness;
using Names = std::vector<std::string>;

const Names kL2Plain = {"HostLogicalPortStatusMsg", "LogicalPortMacTableMsg", "MacTableMsg", "VtepTableMsg"};
const Names kL3Plain = {"LogicalRouterPortArpTableMsg", "RouteTableMsg", "MsrRouteTableMsg", "BgpNeighborMsg",
                        "BgpNeighborAdvertisedRoutesMsg", "BgpNeighborRoutesMsg", "LogicalRoutersPerNodeMsg",
                        "EdgeClusterStatusMsg", "McastRouteMsg", "McastIgmpMembershipMsg", "McastPimRpMappingMsg",
                        "McastForwardTableMsg", "L2ForwarderStatusMsg", "L2ForwarderStatusPerNodeMsg",
                        "L2ForwarderStatisticsMsg", "L2ForwarderRemoteMacsMsg", "NodeInterSiteStatisticsMsg",
                        "BgpNeighborStatusPerNodeMsg", "OspfNeighborMsg", "OspfRouteMsg", "OspfDatabaseMsg",
                        "FrrRouteCountMsg", "GreTunnelStatsMsg"};
const Names kL3Generic = {"LogicalRouterStatusMsg", "EdgeClusterStatusMsg", "BgpNeighborStatusPerLrMsg",
                          "L2ForwarderStatusMsg", "GreTunnelStatusMsg"};

std::unique_ptr<ClientHarness> Serve(std::shared_ptr<Vertical> vertical) {
  auto h = std::make_unique<ClientHarness>(vertical);
  vertical->RegisterCallbacks(h->client);
  return h;
}

void ExpectCatalogue(const AggServiceClient& client, const std::string& package, const Names& plain,
                     const Names& generic) {
  EXPECT_EQ(client.AdapterCount(), plain.size());
  EXPECT_EQ(client.GenericAdapterCount(), generic.size());
  for (const auto& name : plain) EXPECT_NE(client.FindAdapter(package + name), nullptr) << name;
  for (const auto& name : generic) EXPECT_NE(client.FindGenericAdapter(package + name), nullptr) << name;
}

TEST(LogicalCatalogue, SwitchingServesFiveTypesOnEveryPersona) {
  qbx::test::LogCapture logs;
  for (int persona : {0, 1}) {
    auto h = Serve(std::make_shared<L2Exporter>(nullptr, nullptr, nullptr, [persona] { return persona; }));
    EXPECT_EQ(h->vertical->Name(), "AggSvc-L2-Switching");
    ExpectCatalogue(*h->client, "zumbra.qbx.agg_service.l2.", kL2Plain, {"LogicalPortState"});
  }
  EXPECT_EQ(logs.Count("Smart-NIC registration not available"), 1u);  // said on the smart-NIC host only
}

TEST(LogicalCatalogue, SwitchingAnswersOneValidMessagePerTargetOrOneWithout) {
  auto h = Serve(std::make_shared<L2Exporter>(nullptr, nullptr, nullptr, [] { return 0; }));
  ASSERT_EQ(h->Setup(), 0);
  EXPECT_EQ(h->Pull("com.zumbra.qbx.management.aggservice.l2.MacTableMsg", {"ls-1", "ls-2"}), 0);
  EXPECT_EQ(h->Pull("com.zumbra.qbx.management.aggservice.l2.VtepTableMsg", {}), 0);
  h->client->StopAggServiceClient();
  auto sent = h->sender->Sent();
  ASSERT_EQ(sent.size(), 3u);
  zumbra::qbx::agg_service::l2::MacTableMsg mac;
  ASSERT_TRUE(mac.ParseFromString(sent[1].payload));
  EXPECT_EQ(mac.target_id(), "ls-2");
  EXPECT_EQ(sent[2].typeId, "com.zumbra.qbx.management.aggservice.l2.VtepTableMsg");
}

TEST(LogicalCatalogue, RoutingServesTwentySixTypesEachReachable) {
  auto h = Serve(std::make_shared<L3Exporter>(nullptr, nullptr, [] { return 0; }));
  EXPECT_EQ(h->vertical->Name(), "AggSvc-Routing");
  ExpectCatalogue(*h->client, "zumbra.qbx.agg_service.l3.", kL3Plain, kL3Generic);
  ASSERT_EQ(h->Setup(), 0);
  for (const auto& name : kL3Plain) {
    if (name == "L2ForwarderStatusMsg") continue;  // has no management-plane name
    EXPECT_EQ(h->Pull("com.zumbra.qbx.management.aggservice.l3." + name, {"t"}), 0) << name;
  }
  EXPECT_EQ(h->Pull("zumbra.qbx.agg_service.l3.L2ForwarderStatusMsg", {"t"}), 0);
  EXPECT_EQ(h->Pull("com.zumbra.qbx.management.aggservice.l3.L2ForwarderStatusMsg", {"t"}), aggresult::kNoAdapter);
  h->client->StopAggServiceClient();
  EXPECT_EQ(h->sender->Sent().size(), kL3Plain.size());
}

TEST(LogicalCatalogue, GenericTypesOpenWithTheStatusSourceAndCompareByContent) {
  auto h = Serve(std::make_shared<L3Exporter>(nullptr, nullptr, [] { return 0; }));
  ASSERT_EQ(h->Setup(), 0);
  ASSERT_EQ(h->client->OpenAggServiceClient(), 0);
  ASSERT_EQ(h->statusSource->registrations.size(), kL3Generic.size());
  const auto* reg = h->statusSource->Find("zumbra.qbx.agg_service.l3.GreTunnelStatusMsg");
  ASSERT_NE(reg, nullptr);
  EXPECT_EQ(reg->vertical, "AggSvc-Routing");
  auto first = *reg->statusCb(false);
  auto second = *reg->statusCb(false);
  EXPECT_EQ(first->msg_type(), "zumbra.qbx.agg_service.l3.GreTunnelStatusMsg");
  EXPECT_TRUE(reg->compareCb(first, second));
  second->set_timestamp(1);
  EXPECT_FALSE(reg->compareCb(first, second));
  EXPECT_FALSE(reg->compareCb(nullptr, second));
  EXPECT_TRUE(reg->compareCb(nullptr, nullptr));
}

TEST(LogicalCatalogue, RegisteringTwiceIsRefusedAndChangesNothing) {
  qbx::test::LogCapture logs;
  auto h = Serve(std::make_shared<L2Exporter>(nullptr, nullptr, nullptr, [] { return 0; }));
  h->vertical->RegisterCallbacks(h->client);
  EXPECT_EQ(logs.Count("MPA10024"), kL2Plain.size() + 1);
  ExpectCatalogue(*h->client, "zumbra.qbx.agg_service.l2.", kL2Plain, {"LogicalPortState"});
}

}  // namespace
