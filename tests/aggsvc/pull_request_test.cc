// Request dispatch and client-data pull requests through a client with a recording sender:
// what goes out, in which order, with which metadata, and what is refused.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical_adapter.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/aggsvc/fakes/test_vertical.h"
#include "zumbra/qbx/agg_service/l2/l2_status.pb.h"
#include "zumbra/qbx/agg_service/l3/l3_status.pb.h"

namespace {

namespace l2 = zumbra::qbx::agg_service::l2;
namespace l3 = zumbra::qbx::agg_service::l3;
constexpr const char* kMpMacTable = "com.zumbra.qbx.management.aggservice.l2.MacTableMsg";

// A client whose MacTableMsg callback, asked for "outer-..." targets, first pulls two inner
// targets from its own client, then answers its own targets.
struct ClientHarnessWithNesting {
  ClientHarnessWithNesting() {
    std::weak_ptr<AggServiceClient> weak = h.client;
    h.client->RegisterPullHandler<l2::MacTableMsg>(
        [weak](const std::vector<std::shared_ptr<PullTarget>>& targets, std::vector<std::shared_ptr<l2::MacTableMsg>>& out) {
          if (!targets.empty() && targets[0]->GetTargetId().rfind("outer", 0) == 0) {
            zumbra::qbx::agg_service::messaging::ClientDataRequestMsg inner;
            auto* target = inner.add_target_data_request();
            target->set_target_type(kMpMacTable);
            target->add_target_id("inner-1");
            target->add_target_id("inner-2");
            const std::string bytes = inner.SerializeAsString();
            auto client = weak.lock();
            EXPECT_EQ(client->ProcessReceivedMessage(bytes.data(), static_cast<int32_t>(bytes.size()),
                                                     MsgMetadata(AggServiceClient::kClientDataRequestTypeId, "inner", "q")),
                      0);
          }
          for (const auto& t : targets) {
            out.push_back(std::make_shared<l2::MacTableMsg>());
            out.back()->set_target_id(t->GetTargetId());
          }
        });
  }
  qbx::test::ClientHarness h;
};

class PullRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    // One MacTableMsg per requested target.
    h.client->RegisterPullHandler<l2::MacTableMsg>(
        [this](const std::vector<std::shared_ptr<PullTarget>>& targets, std::vector<std::shared_ptr<l2::MacTableMsg>>& out) {
          ++macCalls;
          for (const auto& t : targets) {
            out.push_back(std::make_shared<l2::MacTableMsg>());
            out.back()->set_target_id(t->GetTargetId());
          }
          if (throwFromCallback) throw std::runtime_error("collector failed");
        });
    h.client->RegisterPullHandler<l3::L2ForwarderStatusMsg>(
        [](const std::vector<std::shared_ptr<PullTarget>>&, std::vector<std::shared_ptr<l3::L2ForwarderStatusMsg>>& out) {
          out.push_back(std::make_shared<l3::L2ForwarderStatusMsg>());
        });
    ASSERT_EQ(h.Setup(), 0);
  }
  int Raw(const std::string& payload, const std::string& typeId) {
    return h.client->ProcessReceivedMessage(payload.data(), static_cast<int32_t>(payload.size()),
                                            MsgMetadata(typeId, "corr-1", "reply-q"));
  }
  // Stopping drains the dispatcher, so every queued answer has been sent afterwards.
  std::vector<qbx::test::SentMessage> SentAfterStop() {
    h.client->StopAggServiceClient();
    return h.sender->Sent();
  }
  std::string TargetId(const std::string& payload) {
    l2::MacTableMsg msg;
    EXPECT_TRUE(msg.ParseFromString(payload));
    return msg.target_id();
  }

  qbx::test::LogCapture logs;
  qbx::test::ClientHarness h;
  int macCalls = 0;
  bool throwFromCallback = false;
};

TEST_F(PullRequests, OneAnswerPerPayloadInOrderWithTheRequestsMetadata) {
  EXPECT_EQ(h.Pull(kMpMacTable, {"ls-1", "ls-2", "ls-3"}), 0);
  EXPECT_EQ(h.Pull("zumbra.qbx.agg_service.l3.L2ForwarderStatusMsg", {}), 0);  // protobuf name, not in the table
  auto sent = SentAfterStop();
  ASSERT_EQ(sent.size(), 4u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(TargetId(sent[i].payload), "ls-" + std::to_string(i + 1));
    EXPECT_EQ(sent[i].typeId, kMpMacTable);  // as requested, not the protobuf name
    EXPECT_EQ(sent[i].correlationId, "corr-1");
    EXPECT_EQ(sent[i].replyTo, "reply-q");
  }
  EXPECT_EQ(sent[3].typeId, "zumbra.qbx.agg_service.l3.L2ForwarderStatusMsg");
  EXPECT_TRUE(sent[3].payload.empty());  // an empty message is still sent, with a warning
  EXPECT_EQ(logs.Count("Empty payload from vertical, still sending message"), 1u);
}

TEST_F(PullRequests, NothingToAnswerGivesMinusOne) {
  EXPECT_EQ(h.Pull(kMpMacTable, {}), -1);  // the vertical is still asked
  EXPECT_EQ(macCalls, 1);
  EXPECT_EQ(logs.Count("Callback did not return any payload, MP's pull request may timeout"), 1u);
  EXPECT_EQ(Raw("", AggServiceClient::kClientDataRequestTypeId), -1);  // no target requests at all
  EXPECT_TRUE(SentAfterStop().empty());
}

TEST_F(PullRequests, MalformedOrUnknownRequestsAreRefused) {
  EXPECT_EQ(h.client->ProcessReceivedMessage(nullptr, 0, MsgMetadata("x", "c", "r")), aggresult::kInvalidArgs);
  EXPECT_EQ(h.client->ProcessReceivedMessage("x", -1, MsgMetadata("x", "c", "r")), aggresult::kInvalidArgs);
  EXPECT_EQ(logs.CountAll({"MPA10005", "Invalid Args, Null msg  or Negative msg len"}), 2u);
  EXPECT_EQ(Raw(std::string("\xff\xff\xff\xff\x0f", 5), AggServiceClient::kClientDataRequestTypeId),
            aggresult::kUnparsableRequest);
  EXPECT_EQ(logs.Count("MPA10009"), 1u);
  EXPECT_EQ(Raw("", "com.zumbra.qbx.management.agg.messaging.NoSuchMsg"), aggresult::kUnrecognizedRequestType);
  EXPECT_EQ(logs.CountAll({"MPA10006", "Got unrecognized pull request msg type: "
                                       "com.zumbra.qbx.management.agg.messaging.NoSuchMsg"}),
            1u);
  // The runtime-status request is known by its protobuf name only.
  EXPECT_EQ(Raw("", "com.zumbra.qbx.management.agg.messaging.GenericRuntimeStatusRequestMsg"),
            aggresult::kUnrecognizedRequestType);
  EXPECT_EQ(h.Pull("com.zumbra.qbx.management.aggservice.l3.RouteTableMsg", {"r"}), aggresult::kNoAdapter);
  EXPECT_EQ(logs.CountAll({"MPA10012", "message type: com.zumbra.qbx.management.aggservice.l3.RouteTableMsg"}), 1u);
  EXPECT_EQ(macCalls, 0);
}

TEST_F(PullRequests, RequestOverTheTargetBoundIsRefusedWholeAndLoggedOnce) {
  std::vector<std::string> ids(AggServiceClient::kMaxTargetsPerRequest);
  for (size_t i = 0; i < ids.size(); ++i) ids[i] = "ls-" + std::to_string(i);
  EXPECT_EQ(h.Pull(kMpMacTable, ids), 0);  // the bound itself is served
  EXPECT_EQ(macCalls, 1);
  ids.push_back("one-too-many");
  EXPECT_EQ(h.Pull(kMpMacTable, ids), aggresult::kTooManyTargets);
  EXPECT_EQ(macCalls, 1);
  EXPECT_EQ(logs.Count("targets, more than the 10000 allowed; refused"), 1u);
  // Target types count together: two types of half the bound and one more id are too many.
  zumbra::qbx::agg_service::messaging::ClientDataRequestMsg request;
  for (int type = 0; type < 2; ++type) {
    auto* target = request.add_target_data_request();
    target->set_target_type(kMpMacTable);
    for (size_t i = 0; i < AggServiceClient::kMaxTargetsPerRequest / 2 + type; ++i) target->add_target_id("t");
  }
  EXPECT_EQ(Raw(request.SerializeAsString(), AggServiceClient::kClientDataRequestTypeId), aggresult::kTooManyTargets);
  EXPECT_EQ(macCalls, 1);
  EXPECT_EQ(SentAfterStop().size(), AggServiceClient::kMaxTargetsPerRequest);
}

TEST_F(PullRequests, TargetWithoutTypeKeepsTheAnswersBeforeIt) {
  zumbra::qbx::agg_service::messaging::ClientDataRequestMsg request;
  auto* first = request.add_target_data_request();
  first->set_target_type(kMpMacTable);
  first->add_target_id("a");
  request.add_target_data_request()->add_target_id("b");
  EXPECT_EQ(Raw(request.SerializeAsString(), AggServiceClient::kClientDataRequestTypeId), aggresult::kTargetWithoutType);
  EXPECT_EQ(logs.Count("MPA10013"), 1u);
  EXPECT_EQ(SentAfterStop().size(), 1u);
}

TEST_F(PullRequests, ThrowingCallbackIsRefusedAndTheClientGoesOn) {
  throwFromCallback = true;
  EXPECT_EQ(h.Pull(kMpMacTable, {"a"}), aggresult::kGeneral);
  EXPECT_EQ(logs.Count("refused, handler threw: collector failed"), 1u);
  throwFromCallback = false;
  EXPECT_EQ(h.Pull(kMpMacTable, {"b"}), 0);
  auto sent = SentAfterStop();
  ASSERT_EQ(sent.size(), 1u);  // nothing of the failed request went out
  EXPECT_EQ(TargetId(sent[0].payload), "b");
}

// Pulls alternate between types and one type is registered only after it was refused: each
// pull reaches the adapter its type names at that moment, never the one an earlier pull found.
TEST_F(PullRequests, EachPullReachesTheAdapterItsTypeNamesNow) {
  constexpr const char* kMpRouteTable = "com.zumbra.qbx.management.aggservice.l3.RouteTableMsg";
  EXPECT_EQ(h.Pull(kMpMacTable, {"m-1"}), 0);
  EXPECT_EQ(h.Pull(kMpRouteTable, {"r-1"}), aggresult::kNoAdapter);
  EXPECT_EQ(h.Pull(kMpRouteTable, {"r-2"}), aggresult::kNoAdapter);
  int routeCalls = 0;
  ASSERT_EQ(h.client->RegisterPullHandler<l3::RouteTableMsg>(
                [&routeCalls](const std::vector<std::shared_ptr<PullTarget>>& targets,
                              std::vector<std::shared_ptr<l3::RouteTableMsg>>& out) {
                  ++routeCalls;
                  for (size_t i = 0; i < targets.size(); ++i) out.push_back(std::make_shared<l3::RouteTableMsg>());
                }),
            0);
  EXPECT_EQ(h.Pull(kMpRouteTable, {"r-3"}), 0);
  EXPECT_EQ(h.Pull(kMpMacTable, {"m-2"}), 0);
  EXPECT_EQ(h.Pull("zumbra.qbx.agg_service.l3.L2ForwarderStatusMsg", {}), 0);
  EXPECT_EQ(h.Pull(kMpMacTable, {"m-3"}), 0);
  EXPECT_EQ(routeCalls, 1);
  EXPECT_EQ(macCalls, 3);
  EXPECT_EQ(logs.Count("MPA10012"), 2u);
  auto sent = SentAfterStop();
  ASSERT_EQ(sent.size(), 5u);
  const std::vector<std::string> types = {kMpMacTable, kMpRouteTable, kMpMacTable,
                                          "zumbra.qbx.agg_service.l3.L2ForwarderStatusMsg", kMpMacTable};
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i].typeId, types[i]) << i;
  EXPECT_EQ(TargetId(sent[0].payload), "m-1");
  EXPECT_EQ(TargetId(sent[2].payload), "m-2");
  EXPECT_EQ(TargetId(sent[4].payload), "m-3");
}

// The route-table and multicast-route names are equally long: the remembered look-up tells
// them apart by name, and an unknown name of the same length is refused, whatever the pull
// before it found.
TEST_F(PullRequests, EquallyLongTypeNamesReachTheirOwnAdapters) {
  constexpr std::string_view kMpRouteTable = "com.zumbra.qbx.management.aggservice.l3.RouteTableMsg";
  constexpr std::string_view kMpMcastRoute = "com.zumbra.qbx.management.aggservice.l3.McastRouteMsg";
  constexpr std::string_view kMpUnknown = "com.zumbra.qbx.management.aggservice.l3.UnknownOneMsg";
  static_assert(kMpRouteTable.size() == kMpMcastRoute.size() && kMpUnknown.size() == kMpRouteTable.size());
  std::vector<std::string> reached;  // adapter:target, in call order
  ASSERT_EQ(h.client->RegisterPullHandler<l3::RouteTableMsg>(
                [&reached](const std::vector<std::shared_ptr<PullTarget>>& targets,
                           std::vector<std::shared_ptr<l3::RouteTableMsg>>& out) {
                  for (const auto& t : targets) {
                    reached.push_back("route:" + t->GetTargetId());
                    out.push_back(std::make_shared<l3::RouteTableMsg>());
                    out.back()->set_target_id(t->GetTargetId());
                  }
                }),
            0);
  ASSERT_EQ(h.client->RegisterPullHandler<l3::McastRouteMsg>(
                [&reached](const std::vector<std::shared_ptr<PullTarget>>& targets,
                           std::vector<std::shared_ptr<l3::McastRouteMsg>>& out) {
                  for (const auto& t : targets) {
                    reached.push_back("mcast:" + t->GetTargetId());
                    out.push_back(std::make_shared<l3::McastRouteMsg>());
                    out.back()->set_target_id(t->GetTargetId());
                  }
                }),
            0);
  EXPECT_EQ(h.Pull(std::string(kMpRouteTable), {"r-1"}), 0);
  EXPECT_EQ(h.Pull(std::string(kMpMcastRoute), {"m-1"}), 0);
  EXPECT_EQ(h.Pull(std::string(kMpUnknown), {"u-1"}), aggresult::kNoAdapter);
  EXPECT_EQ(h.Pull(std::string(kMpMcastRoute), {"m-2"}), 0);
  EXPECT_EQ(h.Pull(std::string(kMpRouteTable), {"r-2"}), 0);
  EXPECT_EQ(reached, (std::vector<std::string>{"route:r-1", "mcast:m-1", "mcast:m-2", "route:r-2"}));
  EXPECT_EQ(logs.CountAll({"MPA10012", std::string(kMpUnknown)}), 1u);
  auto sent = SentAfterStop();
  ASSERT_EQ(sent.size(), 4u);
  const std::vector<std::string_view> types = {kMpRouteTable, kMpMcastRoute, kMpMcastRoute, kMpRouteTable};
  const std::vector<std::string> targets = {"r-1", "m-1", "m-2", "r-2"};
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].typeId, types[i]) << i;
    EXPECT_EQ(TargetId(sent[i].payload), targets[i]) << i;  // every type keeps its target id in field 1
  }
}

TEST_F(PullRequests, StoppedClientAnswersNothingAndSaysSo) {
  h.client->StopAggServiceClient();
  EXPECT_EQ(h.Pull(kMpMacTable, {"a", "b"}), aggresult::kNoDispatcherThread);
  EXPECT_EQ(logs.CountAll({"MPA10020", "mpaDispatcherThread was not initialized"}), 1u);
  EXPECT_EQ(logs.CountAll({"Dropped message", "correlationId: corr-1"}), 1u);
  EXPECT_EQ(logs.CountAll({"MPA10011", "Dispatch message to mpa failed"}), 1u);
  EXPECT_TRUE(h.sender->Sent().empty());
}

// A vertical's callback may pull again on the same thread (here from its own client, whose
// request lock is recursive): the inner request must leave the outer one's targets and
// answers alone.
TEST_F(PullRequests, APullFromInsideACallbackLeavesTheOuterRequestIntact) {
  ClientHarnessWithNesting nested;
  ASSERT_EQ(nested.h.Setup(), 0);
  EXPECT_EQ(nested.h.Pull(kMpMacTable, {"outer-1", "outer-2"}, "outer"), 0);
  nested.h.client->StopAggServiceClient();
  auto sent = nested.h.sender->Sent();
  ASSERT_EQ(sent.size(), 4u);
  // The inner pull's answers go first: they were queued while the outer callback ran.
  EXPECT_EQ(TargetId(sent[0].payload), "inner-1");
  EXPECT_EQ(sent[0].correlationId, "inner");
  EXPECT_EQ(TargetId(sent[1].payload), "inner-2");
  EXPECT_EQ(TargetId(sent[2].payload), "outer-1");
  EXPECT_EQ(sent[2].correlationId, "outer");
  EXPECT_EQ(TargetId(sent[3].payload), "outer-2");
}

// A request far larger than usual, then small ones on the same thread: what the large one
// grew is let go, and nothing of it shows in the later answers.
TEST_F(PullRequests, ALargeRequestThenSmallOnesAnswerEachInFull) {
  std::vector<std::string> many;
  for (int i = 0; i < 3000; ++i) many.push_back(std::string(40, 'x') + std::to_string(i));
  EXPECT_EQ(h.Pull(kMpMacTable, many, "large"), 0);
  EXPECT_EQ(h.Pull(kMpMacTable, {"s1"}, "small-1"), 0);
  EXPECT_EQ(h.Pull(kMpMacTable, {"s2", "s3"}, "small-2"), 0);
  auto sent = SentAfterStop();
  ASSERT_EQ(sent.size(), many.size() + 3);
  EXPECT_EQ(TargetId(sent[many.size() - 1].payload), many.back());
  EXPECT_EQ(TargetId(sent[many.size()].payload), "s1");
  EXPECT_EQ(sent[many.size()].correlationId, "small-1");
  EXPECT_EQ(TargetId(sent[many.size() + 2].payload), "s3");
  EXPECT_EQ(sent[many.size() + 2].correlationId, "small-2");
}

}  // namespace
