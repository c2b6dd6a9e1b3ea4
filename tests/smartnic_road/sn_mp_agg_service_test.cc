// The smart-NIC-host message layer: a request of any type travels in the summation field;
// a smart NIC's reply is handed to the vertical's smart-NIC registration with its own type
// id and the smart NIC's uuid, carrying only the first message of the reply list; replies
// that fail, do not parse or carry nothing deliver nothing; a destroyed layer is not touched.
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "channels/mpa/mpa_client.h"
#include "channels/mpa/mpa_client_mp_agg_service.h"
#include "channels/transport/bson_headers.h"
#include "platform/mq/rmq_client.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.pb.h"
#include "zumbra/qbx/agg_service/messaging/runtime_status_request.pb.h"

namespace qbx {
namespace {

namespace snmsg = zumbra::qbx::agg_service::messaging;
using Unified = zumbra::qbx::messaging::GenericUnifiedMsg;

constexpr char kApp[] = "AggSvc-Routing";
constexpr char kSn[] = "5e000000-0000-4000-8000-00000000000a";

struct Delivered {
  uint32_t type = 0;
  std::string typeId;
  std::string routingKey;
  std::string recordRoutingKey;  // the record's own field, which the host's collector reads
  std::string correlationId;
  std::string payload;
};

std::mutex gMutex;
std::vector<Delivered> gDelivered;

void Capture(rmqClientMessage* msg) {
  Delivered d;
  d.type = msg->messageType;
  d.typeId = BsonHeaders::FindStringRaw(msg->headers, msg->headersLen, "__TypeId__").value_or("<none>");
  d.routingKey = BsonHeaders::FindStringRaw(msg->headers, msg->headersLen, "amqp_routing_key").value_or("<none>");
  d.correlationId = BsonHeaders::FindStringRaw(msg->headers, msg->headersLen, "amqp_correlationId").value_or("<none>");
  d.recordRoutingKey = msg->routingKey != nullptr ? msg->routingKey : "<null>";
  if (msg->payload != nullptr) d.payload.assign(reinterpret_cast<const char*>(msg->payload), msg->payloadLen);
  std::lock_guard<std::mutex> lock(gMutex);
  gDelivered.push_back(d);
}

std::vector<Delivered> TakeDelivered() {
  std::lock_guard<std::mutex> lock(gMutex);
  std::vector<Delivered> out;
  out.swap(gDelivered);
  return out;
}

class MpAggServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TakeDelivered();
    MpaClient::SetNodePersonaSource([] { return 1u; });
    MpaClient::StartMpaClientEventLoop("AggSvc", "tcp://127.0.0.1:1", "tcp://127.0.0.1:1");
    MpaClient::SetSNClientFactory([](const MpaClient::CreateArgs& args) { return std::make_shared<MpaClient>(args); });
    MpaClient::RegisterSNHost(nullptr, &Capture, kApp, "qbx", 1, 9002);
    owner_ = MpaClient::GetSNHostClient(kApp);
    ASSERT_TRUE(owner_);
    layer_ = std::make_shared<MpaClientMpAggService>(kApp, owner_);
    headers_ = BsonHeaders::New();
    BsonHeaders::AppendString(headers_, "__TypeId__", "com.zumbra.qbx.management.agg.messaging.PullSummationStatsRequestMsg");
    BsonHeaders::AppendString(headers_, "amqp_correlationId", "corr-1");
    std::memset(&request_, 0, sizeof(request_));
    request_.messageType = 8;
    request_.headers = headers_;
  }
  void TearDown() override {
    BsonHeaders::Destroy(headers_);
    layer_.reset();
    owner_.reset();
    MpaClient::ResetRegistryForTest();
    MpaClient::SetSNClientFactory(nullptr);
    MpaClient::SetNodePersonaSource(nullptr);
  }

  // Runs one call as the RPC layer would: the reply (when given), then the call status.
  void Complete(const std::optional<Unified>& reply, const rpc::Status& status) {
    auto* observer = layer_->GetRpcCallObserver(&request_, "corr-1", 0);
    ASSERT_NE(observer, nullptr);
    layer_->SetAphUuidInRpcCallObserver(observer, kSn);
    if (reply) observer->Next(*reply);
    observer->CallStatus(status);  // deletes the observer
  }

  static Unified Wrap(const snmsg::AggSvcMpUnifiedMsg& unified) {
    Unified envelope;
    envelope.set_payload(unified.SerializeAsString());
    return envelope;
  }

  std::shared_ptr<MpaClient> owner_;
  std::shared_ptr<MpaClientMpAggService> layer_;
  bson_t* headers_ = nullptr;
  rmqClientMessage request_;
};

TEST_F(MpAggServiceTest, TheReplyListHasItsRowsInOrder) {
  const auto& order = MpaClientMpAggService::ReplyTypeOrder();
  ASSERT_EQ(order.size(), 115u);
  EXPECT_EQ(order.front(), "zumbra.qbx.agg_service.messaging.SummationStatsResponseMsg");
  EXPECT_EQ(order[3], "zumbra.qbx.edge.QbxEdgeStatusRequestMsg");
  EXPECT_EQ(order.back(), "zumbra.qbx.agg_service.DhcpV6LeasesPerPoolOrBdMsg");
  // Every field this build's unified message carries is in the list, in the list's order.
  const auto& fields = MpaClientMpAggService::ReplyFields();
  EXPECT_EQ(fields.size() + 2, static_cast<size_t>(snmsg::AggSvcMpUnifiedMsg::descriptor()->field_count()));
}

TEST_F(MpAggServiceTest, ARequestOfAnyTypeTravelsInTheSummationField) {
  std::unique_ptr<google::protobuf::Message> unified(layer_->GetHostUnifiedMsg(
      "zumbra.qbx.agg_service.messaging.GenericRuntimeStatusRequestMsg"));
  ASSERT_TRUE(unified);
  auto* host = static_cast<snmsg::AggSvcHostUnifiedMsg*>(unified.get());
  EXPECT_EQ(host->obj_type(), "zumbra.qbx.agg_service.messaging.GenericRuntimeStatusRequestMsg");
  EXPECT_EQ(host->app_name(), kApp);
  EXPECT_EQ(layer_->GetRequestMsg(unified.get(), "anything"), host->mutable_pull_summation_stats_request());
  // Another message type is not a host unified message.
  snmsg::AggSvcMpUnifiedMsg other;
  EXPECT_EQ(layer_->GetRequestMsg(&other, "anything"), nullptr);
}

TEST_F(MpAggServiceTest, AReplyReachesTheVerticalWithItsTypeIdAndTheSmartNicsUuid) {
  snmsg::AggSvcMpUnifiedMsg unified;
  unified.set_obj_type("com.zumbra.qbx.management.agg.messaging.SummationStatsResponseMsg");
  unified.mutable_messaging_summation_stats_response_msg()->set_seq_num(5);
  Complete(Wrap(unified), rpc::Status::Ok());
  auto delivered = TakeDelivered();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].type, RMQ_CLIENT_RPC_RESPONSE);  // the answer type of request type 8
  EXPECT_EQ(delivered[0].typeId, unified.obj_type());
  EXPECT_EQ(delivered[0].routingKey, kSn);
  EXPECT_EQ(delivered[0].recordRoutingKey, kSn);
  EXPECT_EQ(delivered[0].correlationId, "corr-1");
  snmsg::SummationStatsResponseMsg carried;
  ASSERT_TRUE(carried.ParseFromString(delivered[0].payload));
  EXPECT_EQ(carried.seq_num(), 5u);
}

TEST_F(MpAggServiceTest, OnlyTheFirstMessageOfTheReplyListIsDelivered) {
  snmsg::AggSvcMpUnifiedMsg unified;  // no type id either
  unified.mutable_messaging_generic_runtime_status_response_msg()->set_target_type("late-in-list");
  unified.mutable_messaging_overwrite_stats_response_msg();  // earlier in the list, empty
  Complete(Wrap(unified), rpc::Status::Ok());
  auto delivered = TakeDelivered();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].typeId, "");
  snmsg::OverwriteStatsResponseMsg carried;
  EXPECT_TRUE(carried.ParseFromString(delivered[0].payload));
  EXPECT_TRUE(delivered[0].payload.empty());
}

TEST_F(MpAggServiceTest, FailedEmptyAndUnparsableRepliesDeliverNothing) {
  test::LogCapture logs;
  Complete(std::nullopt, rpc::Status(14u, "unavailable"));  // failed call
  Complete(std::nullopt, rpc::Status::Ok());                // ended without a reply
  snmsg::AggSvcMpUnifiedMsg nothing;
  nothing.set_obj_type("x");
  Complete(Wrap(nothing), rpc::Status::Ok());  // a reply that carries no message
  Unified garbage;
  garbage.set_payload("\xff\xff\xff");
  Complete(garbage, rpc::Status::Ok());
  EXPECT_TRUE(TakeDelivered().empty());
  EXPECT_EQ(logs.Count("Could not convert from GenericUnifiedMsg to AggSvcMpUnifiedMsg"), 1u);
  EXPECT_EQ(logs.Count("HandleSNResponse End"), 2u);  // both parsed replies were released
}

TEST_F(MpAggServiceTest, ARequestWithoutACorrelationHeaderGetsNoObserver) {
  test::LogCapture logs;
  bson_t* bare = BsonHeaders::New();
  BsonHeaders::AppendString(bare, "__TypeId__", "t");
  request_.headers = bare;
  EXPECT_EQ(layer_->GetRpcCallObserver(&request_, "c", 0), nullptr);
  EXPECT_EQ(layer_->GetRpcCallObserver(nullptr, "c", 0), nullptr);
  BsonHeaders::Destroy(bare);
  request_.headers = headers_;
  EXPECT_EQ(logs.Count("GetRpcCallObserver Failed to Fill in Observer Rmq msg"), 2u);
}

TEST_F(MpAggServiceTest, AnObserverThatOutlivesItsLayerOnlyLogs) {
  test::LogCapture logs;
  auto* observer = layer_->GetRpcCallObserver(&request_, "corr-1", 0);
  ASSERT_NE(observer, nullptr);
  auto* publish = layer_->GetVoidCallObserver("corr-2");
  layer_.reset();
  observer->Next(Unified());
  observer->CallStatus(rpc::Status::Ok());
  publish->CallStatus(rpc::Status::Ok());
  EXPECT_EQ(logs.Count("MpaClient has been destroyed already."), 3u);
  EXPECT_TRUE(TakeDelivered().empty());
}

}  // namespace
}  // namespace qbx
