// The manager built as the daemon builds it (its persona source, its eight verticals with
// their smart-NIC entry lists) on a plain node, a host with smart NICs and a smart NIC:
// which adapter serves which type, and, on the host, what a pull and a runtime-status poll
// of the smart-NIC types gather.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "aggsvc/snic_vertical_adapter.h"
#include "channels/mpa/mpa_client.h"
#include "daemon/agg_service_mgr.h"
#include "daemon/agg_service_mgr_verticals.h"
#include "platform/smartnic/sn_demux_util.h"
#include "platform/smartnic/sn_util.h"
#include "tests/aggsvc/fakes/fake_sha_client_wrapper.h"
#include "tests/aggsvc/fakes/fake_status_source.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/aggsvc/fakes/smartnic_fakes.h"
#include "zumbra/qbx/agg_service/agg_service_status.pb.h"
#include "zumbra/qbx/agg_service/l2/l2_status.pb.h"
#include "zumbra/qbx/agg_service/l3/l3_status.pb.h"
#include "zumbra/qbx/agg_service/messaging/client_data.pb.h"
#include "zumbra/qbx/agg_service/messaging/runtime_status_request.pb.h"
#include "zumbra/qbx/agg_service/node/node_status.pb.h"
#include "zumbra/qbx/sha/metrics_agent.pb.h"

namespace {

namespace agg = zumbra::qbx::agg_service;
namespace snmsg = zumbra::qbx::agg_service::messaging;
using qbx::test::FakeShaClientWrapper;
using qbx::test::FakeSmartNics;
using qbx::test::FakeStatusSource;
using qbx::test::LogCapture;
using qbx::test::SnReply;
using Mode = FakeSmartNics::Mode;

// The node as main sets it up: its topology, the persona sources, the manager over the
// daemon's verticals. The stand-in smart NICs sit behind every vertical's sender.
struct DaemonNode {
  explicit DaemonNode(int persona, std::shared_ptr<qbx::smartnic::demux::SNDemuxUtil> demux = nullptr) {
    SNUtil::Topology topology;
    topology.persona = persona;
    if (persona == SNUtil::kPersonaSnHost) {
      topology.hostUuid = "host-1";
      topology.smartNics = {{"ip-a", "sn-a"}, {"ip-b", "sn-b"}};
    }
    SNUtil::SetTopology(topology);
    InstallNodePersonaSources();
    AggServiceClient::SetDefaultRegistrar(registrar);
    verticals = MakeDaemonVerticals(nullptr, demux);
    manager = std::make_unique<AggServiceMgr>(verticals.list, statusSource, sha);
  }
  ~DaemonNode() {
    for (auto& client : opened) client->StopAggServiceClient();
    manager.reset();
    AggServiceClient::SetDefaultRegistrar(nullptr);
    AggServiceClient::SetDefaultNodePersonaSource(nullptr);
    qbx::MpaClient::SetNodePersonaSource(nullptr);
    SNUtil::SetTopology(SNUtil::Topology{});
  }

  std::shared_ptr<AggServiceClient> Client(const std::string& vertical) {
    auto found = manager->Clients().find(vertical);
    return found == manager->Clients().end() ? nullptr : found->second;
  }
  // Sets the vertical's client up and opens it, and lets the stand-in smart NICs answer it.
  std::shared_ptr<AggServiceClient> Open(const std::string& vertical) {
    auto client = Client(vertical);
    EXPECT_EQ(client->SetupAggServiceClient(nullptr, nullptr), 0);
    EXPECT_EQ(client->OpenAggServiceClient(), 0);
    opened.push_back(client);
    nics->SetClient(client);
    return client;
  }

  std::shared_ptr<FakeSmartNics> nics = std::make_shared<FakeSmartNics>();
  std::shared_ptr<qbx::test::FakeMpaVerticalRegistrar> registrar =
      std::make_shared<qbx::test::FakeMpaVerticalRegistrar>(nics);
  std::shared_ptr<FakeStatusSource> statusSource = std::make_shared<FakeStatusSource>();
  std::shared_ptr<FakeShaClientWrapper> sha = std::make_shared<FakeShaClientWrapper>();
  DaemonVerticals verticals;
  std::unique_ptr<AggServiceMgr> manager;
  std::vector<std::shared_ptr<AggServiceClient>> opened;
};

enum class Held { kNone, kPlain, kSnic };

template <class Msg>
Held KindOf(AggServiceClient::Adapter* adapter) {
  if (adapter == nullptr) return Held::kNone;
  if (dynamic_cast<AggSvcSnic::SnicAggServiceClient::SnicVerticalAdapter<Msg>*>(adapter) != nullptr) {
    return Held::kSnic;
  }
  return dynamic_cast<AggServiceClient::VerticalAdapter<Msg>*>(adapter) != nullptr ? Held::kPlain : Held::kNone;
}

template <class Msg>
Held PullAdapter(DaemonNode& node, const std::string& vertical) {
  return KindOf<Msg>(node.Client(vertical)->FindAdapter(Msg::default_instance().GetTypeName()));
}

template <class Msg>
Held GenericAdapter(DaemonNode& node, const std::string& vertical) {
  return KindOf<Msg>(node.Client(vertical)->FindGenericAdapter(Msg::default_instance().GetTypeName()));
}

constexpr char kL2[] = "AggSvc-L2-Switching";
constexpr char kL3[] = "AggSvc-Routing";
constexpr char kHostNode[] = "HostNodeStatusVertical";
constexpr char kTransportNode[] = "TransportNodeStatusVertical";
constexpr char kLb[] = "AggSvc-Lb";

TEST(ManagerPersona, SmartNicTypesTakeTheSmartNicFormOnlyOnAHostWithSmartNics) {
  for (int persona : {0, 1, 2}) {
    SCOPED_TRACE("persona " + std::to_string(persona));
    LogCapture logs;
    DaemonNode node(persona);
    const Held snic = persona == 1 ? Held::kSnic : Held::kPlain;
    // Types also collected from smart NICs.
    EXPECT_EQ(PullAdapter<agg::l2::LogicalPortMacTableMsg>(node, kL2), snic);
    EXPECT_EQ(PullAdapter<agg::l2::MacTableMsg>(node, kL2), snic);
    EXPECT_EQ(PullAdapter<agg::l2::VtepTableMsg>(node, kL2), snic);
    EXPECT_EQ(PullAdapter<agg::l3::LogicalRouterPortArpTableMsg>(node, kL3), snic);
    EXPECT_EQ(PullAdapter<agg::l3::RouteTableMsg>(node, kL3), snic);
    EXPECT_EQ(PullAdapter<agg::node::NodeStatusPropertiesMsg>(node, kHostNode), snic);
    EXPECT_EQ(GenericAdapter<agg::node::NodeStatusPropertiesMsg>(node, kHostNode), snic);
    EXPECT_EQ(PullAdapter<agg::TunnelsSummaryMsg>(node, kTransportNode), snic);
    EXPECT_EQ(GenericAdapter<agg::TunnelsSummaryMsg>(node, kTransportNode), snic);
    EXPECT_EQ(PullAdapter<agg::TunnelsMsg>(node, kTransportNode), snic);
    EXPECT_EQ(GenericAdapter<agg::TunnelsMsg>(node, kTransportNode), Held::kNone);
    EXPECT_EQ(PullAdapter<agg::LbServiceStatusMsg>(node, kLb), snic);
    EXPECT_EQ(GenericAdapter<agg::LbServiceStatusMsg>(node, kLb), snic);
    // Plain on every node.
    EXPECT_EQ(PullAdapter<agg::l2::HostLogicalPortStatusMsg>(node, kL2), Held::kPlain);
    EXPECT_EQ(GenericAdapter<agg::l2::LogicalPortState>(node, kL2), Held::kPlain);
    EXPECT_EQ(PullAdapter<agg::l3::MsrRouteTableMsg>(node, kL3), Held::kPlain);
    EXPECT_EQ(PullAdapter<agg::PnicBondsMsg>(node, kTransportNode), Held::kPlain);
    EXPECT_EQ(GenericAdapter<agg::PnicBondsMsg>(node, kTransportNode), Held::kPlain);
    EXPECT_EQ(PullAdapter<agg::ControlConnStatusesMsg>(node, kTransportNode), Held::kPlain);
    EXPECT_EQ(GenericAdapter<agg::ControlConnStatusesMsg>(node, kTransportNode), Held::kPlain);
    EXPECT_EQ(PullAdapter<agg::HostLbServiceStatusMsg>(node, kLb), Held::kPlain);
    EXPECT_EQ(PullAdapter<agg::LbPoolStatusMsg>(node, kLb), Held::kPlain);
    EXPECT_EQ(PullAdapter<agg::LbVirtualServerStatusMsg>(node, kLb), Held::kPlain);
    // Per-vertical totals, the statistics adapters included.
    EXPECT_EQ(node.Client(kL2)->AdapterCount(), 4u);
    EXPECT_EQ(node.Client(kL2)->GenericAdapterCount(), 1u);
    EXPECT_EQ(node.Client(kL3)->GenericAdapterCount(), 5u);
    EXPECT_EQ(node.Client(kLb)->AdapterCount(), 4u);
    // Control connections go through the runtime-status form.
    EXPECT_EQ(logs.Count("App (TransportNodeStatusVertical) register status handler for msgType: "
                         "zumbra.qbx.agg_service.ControlConnStatusesMsg"),
              1u);
    // No registration is refused on any node, and none repeated.
    EXPECT_EQ(logs.Count("MPA10075"), 0u);
    EXPECT_EQ(logs.Count("MPA10044"), 0u);
    EXPECT_EQ(logs.Count("MPA10024"), 0u);
  }
}

std::optional<SnReply> TunnelsReply(const SnRequest& request, const std::string& sn) {
  agg::TunnelsMsg tunnels;
  tunnels.set_target_id(sn);
  return SnReply{agg::TunnelsMsg::default_instance().GetTypeName(), request.correlationId, tunnels.SerializeAsString()};
}

std::optional<SnReply> StatusReply(const SnRequest& request, const std::string& entry) {
  snmsg::GenericRuntimeStatusRequestMsg asked;
  asked.ParseFromString(request.body);
  GenericRuntimeStatusUpdateMsg status;
  status.set_msg_type(asked.target_type());
  status.add_status(entry);
  snmsg::GenericRuntimeStatusResponseMsg response;
  response.set_target_type(asked.target_type());
  response.set_status_obtained(true);
  response.set_status(status.SerializeAsString());
  return SnReply{"zumbra.qbx.agg_service.messaging.GenericRuntimeStatusResponseMsg", request.correlationId,
                 response.SerializeAsString()};
}

TEST(ManagerPersona, HostWithSmartNicsGathersEverySmartNicsTunnelsAndNodeStatus) {
  DaemonNode node(SNUtil::kPersonaSnHost);
  for (const char* sn : {"sn-a", "sn-b"}) {
    const std::string id = sn;
    node.nics->Configure(id, Mode::kAnswer, [id](const SnRequest& request) -> std::optional<SnReply> {
      if (request.typeId == AggServiceClient::kGenericRuntimeStatusRequestTypeId) return StatusReply(request, id);
      return TunnelsReply(request, id);
    });
  }

  // A pull of tunnels: the host's message for the target, then each smart NIC's.
  std::shared_ptr<AggServiceClient> transportNode = node.Open(kTransportNode);
  snmsg::ClientDataRequestMsg pull;
  auto* target = pull.add_target_data_request();
  target->set_target_type(agg::TunnelsMsg::default_instance().GetTypeName());
  target->add_target_id("tn-1");
  const std::string bytes = pull.SerializeAsString();
  ASSERT_EQ(transportNode->ProcessReceivedMessage(bytes.data(), static_cast<int32_t>(bytes.size()),
                                                  MsgMetadata(AggServiceClient::kClientDataRequestTypeId, "pull-1", "mp")),
            0);
  node.nics->WaitForSent(3);
  std::vector<std::string> answered;
  for (const auto& sent : node.nics->Sent()) {
    agg::TunnelsMsg tunnels;
    ASSERT_TRUE(tunnels.ParseFromString(sent.payload));
    answered.push_back(tunnels.target_id());
  }
  ASSERT_EQ(answered.size(), 3u);
  EXPECT_EQ(answered[0], "tn-1");
  EXPECT_EQ(std::set<std::string>(answered.begin() + 1, answered.end()), (std::set<std::string>{"sn-a", "sn-b"}));

  // The status source's poll of the tunnel summary merges both smart NICs' statuses.
  const auto* summary = node.statusSource->Find(agg::TunnelsSummaryMsg::default_instance().GetTypeName());
  ASSERT_NE(summary, nullptr);
  auto merged = summary->statusCb(false);
  ASSERT_TRUE(merged && *merged);
  EXPECT_EQ(std::set<std::string>((*merged)->status().begin(), (*merged)->status().end()),
            (std::set<std::string>{"sn-a", "sn-b"}));
  EXPECT_EQ(node.sha->MetricCount(), 0u);

  // Node status: merged the same way, and the merge's metric (the host and two smart NICs)
  // goes to the health agent when the poll asks for metrics.
  node.Open(kHostNode);
  const std::string nodeType = agg::node::NodeStatusPropertiesMsg::default_instance().GetTypeName();
  const auto* nodeStatus = node.statusSource->Find(nodeType);
  ASSERT_NE(nodeStatus, nullptr);
  auto merged2 = nodeStatus->statusCb(true);
  ASSERT_TRUE(merged2 && *merged2);
  EXPECT_EQ((*merged2)->msg_type(), nodeType);
  EXPECT_EQ(std::set<std::string>((*merged2)->status().begin(), (*merged2)->status().end()),
            (std::set<std::string>{"sn-a", "sn-b"}));
  ASSERT_EQ(node.sha->MetricCount(), 1u);
  EXPECT_EQ(node.sha->metrics[0].first, nodeType);
  ASSERT_TRUE(node.sha->metrics[0].second);
  EXPECT_EQ(node.sha->metrics[0].second->value(), 3.0);
  // A periodic poll sends none.
  ASSERT_TRUE(nodeStatus->statusCb(false));
  EXPECT_EQ(node.sha->MetricCount(), 1u);
}

// A route or ARP table pull is asked only of the smart NICs that the demultiplexing utility
// names for its routers; one router it does not know widens the pull to every smart NIC.
TEST(ManagerPersona, RoutingTablePullsAskOnlyTheSmartNicsOfTheirRouters) {
  auto demux = std::make_shared<qbx::smartnic::demux::SNDemuxUtil>();
  demux->SetTargetMapping("lr-1", {"sn-b"});
  demux->SetTargetMapping("lr-2", {"sn-a", "sn-b"});
  DaemonNode node(SNUtil::kPersonaSnHost, demux);
  for (const char* sn : {"sn-a", "sn-b"}) {
    const std::string id = sn;
    node.nics->Configure(id, Mode::kAnswer, [id](const SnRequest& request) -> std::optional<SnReply> {
      snmsg::ClientDataRequestMsg asked;
      asked.ParseFromString(request.body);
      agg::l3::RouteTableMsg table;
      table.set_target_id(id);
      return SnReply{asked.target_data_request(0).target_type(), request.correlationId, table.SerializeAsString()};
    });
  }
  std::shared_ptr<AggServiceClient> routing = node.Open(kL3);
  // The smart NICs asked by a pull of `type` for `routers`, in order.
  auto pull = [&](const std::string& type, const std::vector<std::string>& routers) {
    snmsg::ClientDataRequestMsg request;
    auto* target = request.add_target_data_request();
    target->set_target_type(type);
    for (const auto& router : routers) target->add_target_id(router);
    const std::string bytes = request.SerializeAsString();
    const size_t before = node.nics->Sends().size();
    EXPECT_EQ(routing->ProcessReceivedMessage(bytes.data(), static_cast<int32_t>(bytes.size()),
                                              MsgMetadata(AggServiceClient::kClientDataRequestTypeId, "p", "mp")),
              0);
    std::vector<std::string> asked;
    const auto sends = node.nics->Sends();
    for (size_t i = before; i < sends.size(); ++i) asked.push_back(sends[i].first);
    return asked;
  };
  using Ids = std::vector<std::string>;
  const std::string route = agg::l3::RouteTableMsg::default_instance().GetTypeName();
  const std::string arp = agg::l3::LogicalRouterPortArpTableMsg::default_instance().GetTypeName();
  EXPECT_EQ(pull(route, {"lr-1"}), Ids{"sn-b"});
  EXPECT_EQ(pull(arp, {"lr-1"}), Ids{"sn-b"});
  EXPECT_EQ(pull(route, {"lr-1", "lr-2"}), (Ids{"sn-b", "sn-a"}));
  EXPECT_EQ(pull(route, {"lr-1", "lr-9"}), (Ids{"sn-a", "sn-b"}));
  // The first answer: the host's table of lr-1, then the one smart NIC asked.
  node.nics->WaitForSent(2);
  std::vector<std::string> answered;
  for (size_t i = 0; i < 2; ++i) {
    agg::l3::RouteTableMsg table;
    ASSERT_TRUE(table.ParseFromString(node.nics->Sent()[i].payload));
    answered.push_back(table.target_id());
  }
  EXPECT_EQ(answered, (Ids{"lr-1", "sn-b"}));
}

}  // namespace
