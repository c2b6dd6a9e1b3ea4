// The status collectors that main constructs: names, skipFirstValue, what each files with
// its client, that pulls are answered with valid empty messages, and that every runtime
// status pair is one the monitoring status source's tables accept (so opening succeeds).
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/sha/sha_pm_client.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/aggsvc/fakes/test_vertical.h"
#include "verticals/dlb_exporter.h"
#include "verticals/fabric_vertical_impl.h"
#include "verticals/idps_vertical_impl.h"
#include "verticals/krx_host_node_status_vertical.h"
#include "verticals/pnic_bond_reporter.h"
#include "verticals/transport_node_status_reporter.h"
#include "verticals/tunnel_reporter.h"
#include "zumbra/qbx/agg_service/agg_service_status.pb.h"

namespace {

using qbx::test::ClientHarness;

// The verticals and message types the monitoring status source serves (its own tables are
// in the channels library; these are the rows these collectors rely on).
const std::set<std::string> kStatusVerticals = {"HostNodeStatusVertical", "FabricStats", "TransportNodeStatusVertical",
                                                "AggSvc-Lb"};
const std::set<std::string> kStatusTypes = {
    "zumbra.qbx.agg_service.node.NodeStatusPropertiesMsg", "zumbra.qbx.agg_service.SoftwareStatusMsg",
    "zumbra.qbx.agg_service.TunnelsSummaryMsg",           "zumbra.qbx.agg_service.ControlConnStatusesMsg",
    "zumbra.qbx.agg_service.PnicBondsMsg",                "zumbra.qbx.agg_service.LbServiceStatusMsg"};

std::unique_ptr<ClientHarness> Serve(std::shared_ptr<Vertical> vertical) {
  auto h = std::make_unique<ClientHarness>(vertical);
  vertical->RegisterCallbacks(h->client);
  return h;
}

std::shared_ptr<TransportNodeStatusReporter> MakeTransportNode() {
  return std::make_shared<TransportNodeStatusReporter>(nullptr, std::make_shared<PnicBondReporter>(),
                                                       std::make_shared<TunnelReporter>());
}

struct Expected {
  std::shared_ptr<Vertical> vertical;
  std::string name;
  bool skipFirstValue;
  std::vector<std::string> plain;
  std::vector<std::string> generic;
};

std::vector<Expected> AllCollectors() {
  const std::string as = "zumbra.qbx.agg_service.";
  return {
      {std::make_shared<KrxHostNodeStatusVertical>("HostNodeStatusVertical"), "HostNodeStatusVertical", true,
       {as + "node.NodeStatusPropertiesMsg"}, {as + "node.NodeStatusPropertiesMsg"}},
      {std::make_shared<FabricVerticalImpl>("FabricStats"), "FabricStats", true, {as + "SoftwareStatusMsg"},
       {as + "SoftwareStatusMsg"}},
      {std::make_shared<IdpsVerticalImpl>("IDPSRuleStats"), "IDPSRuleStats", false, {}, {}},
      {std::make_shared<DlbExporter>(nullptr), "AggSvc-Lb", true,
       {as + "LbServiceStatusMsg", as + "HostLbServiceStatusMsg"}, {as + "LbServiceStatusMsg"}},
      {MakeTransportNode(), "TransportNodeStatusVertical", true,
       {as + "TunnelsSummaryMsg", as + "TunnelsMsg", as + "PnicBondsMsg", as + "ControlConnStatusesMsg"},
       {as + "TunnelsSummaryMsg", as + "PnicBondsMsg", as + "ControlConnStatusesMsg"}},
  };
}

TEST(StatusVerticals, NamesSkipFirstValueAndCatalogue) {
  for (const auto& e : AllCollectors()) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(e.vertical->Name(), e.name);
    EXPECT_STREQ(e.vertical->GetName(), e.name.c_str());
    EXPECT_EQ(e.vertical->SkipFirstValue(), e.skipFirstValue);
    EXPECT_TRUE(e.vertical->AdapterEntries().empty());  // main fills the smart-NIC entries
    auto h = Serve(e.vertical);
    for (const auto& type : e.plain) EXPECT_NE(h->client->FindAdapter(type), nullptr) << type;
    for (const auto& type : e.generic) EXPECT_NE(h->client->FindGenericAdapter(type), nullptr) << type;
    EXPECT_EQ(h->client->GenericAdapterCount(), e.generic.size());
  }
}

TEST(StatusVerticals, RuntimeStatusPairsAreAcceptedByTheStatusSourceAndOpen) {
  for (const auto& e : AllCollectors()) {
    SCOPED_TRACE(e.name);
    auto h = Serve(e.vertical);
    ASSERT_EQ(h->Setup(), 0);
    ASSERT_EQ(h->client->OpenAggServiceClient(), 0);
    ASSERT_EQ(h->statusSource->registrations.size(), e.generic.size());
    for (const auto& reg : h->statusSource->registrations) {
      EXPECT_EQ(kStatusVerticals.count(reg.vertical), 1u) << reg.vertical;
      EXPECT_EQ(kStatusTypes.count(reg.msgType), 1u) << reg.msgType;
      auto update = reg.statusCb(false);
      ASSERT_TRUE(update.has_value());
      EXPECT_EQ((*update)->msg_type(), reg.msgType);
      EXPECT_TRUE(reg.compareCb(*update, *reg.statusCb(false)));  // unchanged status is not resent
    }
    h->client->StopAggServiceClient();
  }
}

TEST(StatusVerticals, PullsAreAnsweredWithOneValidMessagePerTarget) {
  auto h = Serve(MakeTransportNode());
  ASSERT_EQ(h->Setup(), 0);
  EXPECT_EQ(h->Pull("zumbra.qbx.agg_service.TunnelsMsg", {"tn-1", "tn-2"}), 0);
  EXPECT_EQ(h->Pull("zumbra.qbx.agg_service.PnicBondsMsg", {}), 0);
  EXPECT_EQ(h->Pull("zumbra.qbx.agg_service.NoSuchMsg", {"x"}), aggresult::kNoAdapter);
  h->client->StopAggServiceClient();
  auto sent = h->sender->Sent();
  ASSERT_EQ(sent.size(), 3u);
  zumbra::qbx::agg_service::TunnelsMsg tunnels;
  ASSERT_TRUE(tunnels.ParseFromString(sent[1].payload));
  EXPECT_EQ(tunnels.target_id(), "tn-2");
}

TEST(StatusVerticals, RegisteringTwiceIsRefusedAndKeepsTheFirstCatalogue) {
  qbx::test::LogCapture logs;
  auto vertical = std::make_shared<DlbExporter>(nullptr);
  auto h = Serve(vertical);
  const size_t plain = h->client->AdapterCount();
  vertical->RegisterCallbacks(h->client);
  EXPECT_EQ(h->client->AdapterCount(), plain);
  EXPECT_EQ(h->client->GenericAdapterCount(), 1u);
  EXPECT_EQ(logs.Count("MPA10024"), 5u);  // four pull types and one runtime-status type
  vertical->RegisterCallbacks(nullptr);  // a missing client is ignored
}

TEST(StatusVerticals, TransportNodeKeepsReportersAndHandlesPnicHealthWhileAlive) {
  auto pnic = std::make_shared<PnicBondReporter>();
  auto tunnel = std::make_shared<TunnelReporter>();
  auto reporter = std::make_shared<TransportNodeStatusReporter>(nullptr, pnic, tunnel);
  EXPECT_EQ(reporter->GetPnicBondReporter(), pnic);
  EXPECT_EQ(reporter->GetTunnelReporter(), tunnel);
  EXPECT_EQ(tunnel->DevicePath(), "/tkfs/devices/char/kztdriver/qbx_rwn2");

  auto sha = std::make_shared<qbx::sha::ShaPmClient>("transport_node_status_reporter");
  sha->Start();
  EXPECT_TRUE(reporter->InitHZCHealthReporting(sha));
  EXPECT_TRUE(sha->DeliverNotificationForTest(TransportNodeStatusReporter::kPnicHealthKind, "vmnic0 down"));
  EXPECT_EQ(reporter->PnicHealthNotifications(), 1u);
  EXPECT_TRUE(reporter->InitHZCHealthReporting(nullptr));

  reporter.reset();  // the health agent's client outlives the reporter: nothing runs
  sha->DeliverNotificationForTest(TransportNodeStatusReporter::kPnicHealthKind, "vmnic0 up");
}

}  // namespace
