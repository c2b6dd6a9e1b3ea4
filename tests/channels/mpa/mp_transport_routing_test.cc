// Routing on the management-plane side without a peer: which road of the message layer
// each record type takes when the application sends, which request of a host message that
// carries several reaches the application, and the trace of the header look-up.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "channels/mpa/agg_svc_host_service.h"
#include "channels/mpa/mpa_client_private.h"
#include "channels/transport/bson_headers.h"
#include "tests/channels/fakes/mpa_fakes.h"

namespace qbx {
namespace {

using zumbra::qbx::agg_service::messaging::AggSvcHostUnifiedMsg;
using zumbra::qbx::messaging::GenericUnifiedMsg;

constexpr char kApp[] = "FabricStats";

// Records which road of the message layer a send took.
class RoadLayer : public MpaClientAppSpecific {
 public:
  using MpaClientAppSpecific::MpaClientAppSpecific;
  int SendMsg(rmqClientMessage* msg, std::string& correlationId, const std::string& aph) override {
    took.push_back("send " + std::to_string(msg->messageType) + " " + correlationId + " to '" + aph + "'");
    return 0;
  }
  int RespondMsg(rmqClientMessage* msg, const std::string& correlationId) override {
    took.push_back("respond " + std::to_string(msg->messageType) + " " + correlationId);
    return 0;
  }
  std::vector<std::string> took;
};

TEST(MpTransportRouting, PublishesAndRequestsAreSentRepliesAnsweredOtherTypesRefused) {
  testing::LogCapture logs;
  MpaClient::CreateArgs args;
  args.appName = kApp;
  auto client = std::make_shared<MpaClientPrivate<AggSvcMpStub>>(args, nullptr);
  auto layer = std::make_shared<RoadLayer>(kApp, client);
  client->SetAppSpecific(layer);
  for (uint32_t type : {4u, 10u, 12u, 11u}) {
    rmqClientMessage message{};
    message.messageType = type;
    EXPECT_EQ(client->SendMsgViaTnProxy(&message, "c" + std::to_string(type), ""), 0) << type;
  }
  EXPECT_EQ(layer->took, (std::vector<std::string>{"send 4 c4 to ''", "send 10 c10 to ''", "send 12 c12 to ''",
                                                   "respond 11 c11"}));
  rmqClientMessage other{};
  other.messageType = 9;
  EXPECT_EQ(client->SendMsgViaTnProxy(&other, "c9", ""), -1);
  EXPECT_EQ(logs.Count("[FabricStats] MpaClientPrivate SendMsgViaTnProxy: Unsupported message (9), corelationId (c9)."),
            1u);
  EXPECT_EQ(client->SendMsgViaTnProxy(nullptr, "c0", ""), -1);
  EXPECT_EQ(layer->took.size(), 4u);  // neither reached the layer
}

// A host message that carries several requests is delivered as the first of summation,
// overwrite, on-demand and client data that it holds.
TEST(MpTransportRouting, SeveralRequestsInOneHostMessageDeliverTheFirstInOrder) {
  AggSvcHostService::ResetForTest();
  AggSvcHostService::CreateInstance();
  auto service = AggSvcHostService::GetInstance();
  ASSERT_NE(service, nullptr);
  AggSvcHostUnifiedMsg host;
  host.set_app_name(kApp);
  host.set_obj_type("com.example.Request");
  host.mutable_pull_summation_stats_request()->set_seq_num(7);
  host.mutable_pull_overwrite_stats_request();
  host.mutable_on_demand_stats_request()->add_target_request();
  host.mutable_client_data_request()->add_target_data_request()->set_target_type("t");
  const std::vector<std::string> expected = {
      host.pull_summation_stats_request().SerializeAsString(), host.pull_overwrite_stats_request().SerializeAsString(),
      host.on_demand_stats_request().SerializeAsString(), host.client_data_request().SerializeAsString()};
  for (size_t step = 0; step < expected.size(); ++step) {
    SCOPED_TRACE(step);
    GenericUnifiedMsg envelope;
    envelope.set_payload(host.SerializeAsString());
    rmqClientMessage record{};
    bson_t* doc = nullptr;
    std::string app;
    std::string payload;
    ASSERT_TRUE(service->BuildRmqClientMessage(envelope, "aph", doc, "corr", record, app, false, payload));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.payload), static_cast<size_t>(record.payloadLen)),
              expected[step]);
    BsonHeaders::Destroy(doc);
    // The request delivered is taken away: the next one in order comes next.
    if (step == 0) host.clear_pull_summation_stats_request();
    if (step == 1) host.clear_pull_overwrite_stats_request();
    if (step == 2) host.clear_on_demand_stats_request();
  }
  AggSvcHostService::ResetForTest();
}

// The header look-up traces each element it passes, with its type and value, up to the
// first string of the key.
TEST(MpTransportRouting, TheHeaderLookUpTracesEachElementItPasses) {
  testing::LogCapture logs;
  auto layer = std::make_shared<MpaClientAppSpecific>(kApp, nullptr);
  bson_t* doc = BsonHeaders::New();
  BsonHeaders::AppendInt64(doc, "msg_type", 4);
  BsonHeaders::AppendString(doc, "__TypeId__", "com.example.T");
  BsonHeaders::AppendString(doc, "amqp_replyTo", "later");
  EXPECT_EQ(layer->GetStringObjectFromBson(doc, "__TypeId__").value_or(""), "com.example.T");
  BsonHeaders::Destroy(doc);
  EXPECT_EQ(logs.Count("[FabricStats] MpaClientAppSpecific GetStringObjectFromBson type (int64), val (4)"), 1u);
  EXPECT_EQ(logs.Count("[FabricStats] MpaClientAppSpecific GetStringObjectFromBson type (utf8), val (com.example.T)"), 1u);
  EXPECT_EQ(logs.Count("GetStringObjectFromBson type (utf8), val (later)"), 0u);  // past the match
  EXPECT_EQ(logs.Count("[FabricStats] MpaClientAppSpecific GetStringObjectFromBson (__TypeId__) : (com.example.T)"), 1u);
}

}  // namespace
}  // namespace qbx
