// The host-side aggregation messages: the type-identifier table, and the handling of the
// management plane's replies by the observers (app-init, requests, failures).
#include <gtest/gtest.h>

#include "channels/mpa/agg_svc_type_id_table.h"
#include "channels/mpa/mpa_client_agg_service.h"
#include "channels/transport/bson_headers.h"
#include "tests/channels/fakes/mpa_fakes.h"

namespace qbx {
namespace {

using testing::LogCapture;
using zumbra::qbx::agg_service::messaging::AggSvcHostUnifiedMsg;
using zumbra::qbx::agg_service::messaging::AggSvcMpUnifiedMsg;

TEST(TypeIdTableTest, RowsAndSpellings) {
  EXPECT_EQ(AggSvcTypeIdTable::Rows().size(), 112u);
  auto full = [](const std::string& id) {
    const auto* row = AggSvcTypeIdTable::Find(id);
    return row ? row->fullName : std::string("<none>");
  };
  EXPECT_EQ(full("com.zumbra.qbx.management.aggservice.IPSecVpnTunnelTrafficStatisticsMsg"),
            "zumbra.qbx.agg_service.vpn.IpsecVpnTunnelTrafficStatisticsMsg");
  EXPECT_EQ(full("com.zumbra.qbx.management.aggservice.IPSecVpnSessionStatusMsg"), "<none>");
  EXPECT_EQ(full("com.zumbra.qbx.management.aggservice.IpsecVpnSessionStatusMsg"),
            "zumbra.qbx.agg_service.vpn.IpsecVpnSessionStatusMsg");
  EXPECT_EQ(full("com.zumbra.qbx.management.aggservice.IPSecVpnServiceSummaryMsg"),
            "zumbra.qbx.agg_service.vpn.IpsecVpnServiceSummaryMsg");
  // Statistics responses only by their management-plane names; generic status only by
  // its protobuf name.
  EXPECT_EQ(full("zumbra.qbx.agg_service.messaging.SummationStatsResponseMsg"), "<none>");
  EXPECT_EQ(full("com.zumbra.qbx.management.agg.messaging.OnDemandStatsResponseMsg"),
            "zumbra.qbx.agg_service.messaging.OnDemandStatsResponseMsg");
  EXPECT_EQ(full("zumbra.qbx.agg_service.messaging.GenericRuntimeStatusResponseMsg"),
            "zumbra.qbx.agg_service.messaging.GenericRuntimeStatusResponseMsg");
  EXPECT_EQ(full("com.zumbra.qbx.management.agg_service.transport_node_status.TunnelsMsg"), "zumbra.qbx.agg_service.TunnelsMsg");
  EXPECT_EQ(full("zumbra.qbx.agg_service.TunnelsMsg"), "zumbra.qbx.agg_service.TunnelsMsg");
  EXPECT_EQ(full("zumbra.qbx.management.aggservice.MetadataProxyStatusPerLsMsg"),
            "zumbra.qbx.agg_service.MetadataProxyStatusPerLsMsg");
  EXPECT_EQ(full("ZUMBRA.qbx.agg_service.TunnelsMsg"), "<none>");  // exact, with case
  // Every carrier field that exists has the row's type.
  for (const auto& row : AggSvcTypeIdTable::Rows()) {
    const auto* field = AggSvcMpUnifiedMsg::descriptor()->FindFieldByNumber(row.field);
    if (field != nullptr) {
      EXPECT_EQ(field->message_type()->full_name(), row.fullName);
    }
  }
}

class AggServiceLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MpaClient::ResetRegistryForTest();
    MpaClient::Register(nullptr, [this](rmqClientMessage* m) { Record(m); }, "FabricStats", "qbx", 1, 9002, 1, 2,
                        [this](uint32_t failed, const std::string& id) { errors_.emplace_back(failed, id); });
    owner_ = MpaClient::GetClient("FabricStats");
    layer_ = std::make_shared<MpaClientAggService>("FabricStats", owner_);
  }
  void TearDown() override { MpaClient::ResetRegistryForTest(); }
  void Record(rmqClientMessage* m) {
    std::string payload(reinterpret_cast<const char*>(m->payload), m->payload ? static_cast<size_t>(m->payloadLen) : 0);
    delivered_.push_back({m->messageType,
                          BsonHeaders::FindStringRaw(m->headers, m->headersLen, "__TypeId__").value_or(""),
                          BsonHeaders::FindStringRaw(m->headers, m->headersLen, "amqp_correlationId").value_or(""),
                          BsonHeaders::FindStringRaw(m->headers, m->headersLen, "amqp_routing_key").value_or(""),
                          payload});
  }
  struct Delivered {
    uint32_t type;
    std::string typeId, corr, routingKey, payload;
  };
  static zumbra::qbx::messaging::GenericUnifiedMsg Envelope(const AggSvcHostUnifiedMsg& host) {
    zumbra::qbx::messaging::GenericUnifiedMsg env;
    env.set_payload(host.SerializeAsString());
    return env;
  }
  // An observer for a request of type 8 with correlation id "c-1".
  rpc::CallObserver<zumbra::qbx::messaging::GenericUnifiedMsg>* RequestObserver() {
    bson_t* doc = BsonHeaders::New();
    BsonHeaders::AppendString(doc, "amqp_correlationId", "c-1");
    rmqClientMessage request{};
    request.messageType = 8;
    request.headers = doc;
    auto* observer = layer_->GetRpcCallObserver(&request, "c-1", 0);
    BsonHeaders::Destroy(doc);
    layer_->SetAphUuidInRpcCallObserver(observer, "aph-9");
    return observer;
  }

  std::shared_ptr<MpaClient> owner_;
  std::shared_ptr<MpaClientAggService> layer_;
  std::vector<Delivered> delivered_;
  std::vector<std::pair<uint32_t, std::string>> errors_;
};

TEST_F(AggServiceLayerTest, SameTypeIdGivesTheSameSubMessage) {
  std::unique_ptr<google::protobuf::Message> unified(layer_->GetMpUnifiedMsg("zumbra.qbx.agg_service.TunnelsMsg"));
  auto* a = layer_->GetRequestMsg(unified.get(), "zumbra.qbx.agg_service.TunnelsMsg");
  auto* b = layer_->GetRequestMsg(unified.get(), "com.zumbra.qbx.management.agg_service.transport_node_status.TunnelsMsg");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->GetDescriptor()->full_name(), "zumbra.qbx.agg_service.TunnelsMsg");
  LogCapture log;
  EXPECT_EQ(layer_->GetRequestMsg(unified.get(), "no.such.Type"), nullptr);
  EXPECT_TRUE(log.Contains("MpaClientAggService::GetRequestMsg Unknown message type (no.such.Type)"));
}

TEST_F(AggServiceLayerTest, ReplyCarryingARequestIsDeliveredAsARecord) {
  auto* observer = RequestObserver();
  ASSERT_NE(observer, nullptr);
  AggSvcHostUnifiedMsg host;
  host.set_obj_type("com.zumbra.qbx.management.agg.messaging.ClientDataRequestMsg");
  host.mutable_client_data_request();
  observer->Next(Envelope(host));
  observer->CallStatus(rpc::Status());  // handles the reply and deletes the observer
  ASSERT_EQ(delivered_.size(), 1u);
  EXPECT_EQ(delivered_[0].type, 11u);
  EXPECT_EQ(delivered_[0].typeId, "com.zumbra.qbx.management.agg.messaging.ClientDataRequestMsg");
  EXPECT_EQ(delivered_[0].corr, "c-1");
  EXPECT_EQ(delivered_[0].routingKey, "aph-9");
}

TEST_F(AggServiceLayerTest, FailedCallsAndEmptyRepliesDeliverNothing) {
  auto* failed = RequestObserver();
  failed->CallStatus(rpc::Status(rpc::StatusCode::kUnavailable, "gone"));
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0], std::make_pair(1u, std::string("c-1")));
  auto* silent = RequestObserver();
  silent->CallStatus(rpc::Status());  // no reply arrived
  auto* unparsable = RequestObserver();
  zumbra::qbx::messaging::GenericUnifiedMsg bad;
  bad.set_payload(std::string("\xff\xff", 2));
  unparsable->Next(bad);
  unparsable->CallStatus(rpc::Status());
  EXPECT_TRUE(delivered_.empty());
}

TEST_F(AggServiceLayerTest, AppInitReplyFinishesTheHandshakeAndAcknowledges) {
  owner_->GetNewAppInitSequenceNumber();  // 0 marks calls that are not app-init
  const uint32_t seq = owner_->GetNewAppInitSequenceNumber();
  AggSvcHostUnifiedMsg host;
  host.mutable_app_init_config()->set_sender("mp-1");
  auto* observer = layer_->GetRpcCallObserver(nullptr, "track", seq);
  observer->Next(Envelope(host));
  observer->CallStatus(rpc::Status());
  ASSERT_EQ(delivered_.size(), 1u);
  EXPECT_EQ(delivered_[0].type, 2u);
  EXPECT_TRUE(owner_->IsAppInitCompleted());
  // A reply for a sequence that is no longer current sends no acknowledgement.
  owner_->GetNewAppInitSequenceNumber();
  auto* stale = layer_->GetRpcCallObserver(nullptr, "track", seq);
  stale->Next(Envelope(host));
  stale->CallStatus(rpc::Status());
  EXPECT_EQ(delivered_.size(), 1u);
}

TEST_F(AggServiceLayerTest, ObserversOutlivingTheLayerDoNothing) {
  LogCapture log;
  auto* observer = RequestObserver();
  auto* publish = layer_->GetVoidCallObserver("p-1");
  layer_.reset();
  observer->Next(zumbra::qbx::messaging::GenericUnifiedMsg());
  observer->CallStatus(rpc::Status());
  publish->CallStatus(rpc::Status());
  EXPECT_EQ(log.Count("MpaClient has been destroyed already."), 3u);
  EXPECT_TRUE(delivered_.empty());
  EXPECT_TRUE(errors_.empty());
}

TEST_F(AggServiceLayerTest, PublishOutcomeIsReportedToTheApplication) {
  layer_->GetVoidCallObserver("p-1")->CallStatus(rpc::Status());
  layer_->GetVoidCallObserver("p-2")->CallStatus(rpc::Status(rpc::StatusCode::kUnavailable, "down"));
  EXPECT_EQ(errors_, (std::vector<std::pair<uint32_t, std::string>>{{0u, "p-1"}, {1u, "p-2"}}));
}

}  // namespace
}  // namespace qbx
