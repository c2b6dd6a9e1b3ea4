// The message catalogue of the aggregation channel. Every row of the type-identifier table,
// under each of its spellings, leaves the host in its own field of the unified message, with
// the field number it has always had. Every type of the smart NIC's reply list comes back
// to the application byte for byte, an earlier type of the list winning over a later one in
// the same reply, on the reply road and on the smart NIC's own calls alike. A reply or a
// message of a type this host does not know is logged instead of vanishing.
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "channels/mpa/agg_svc_host_service.h"
#include "channels/mpa/agg_svc_type_id_table.h"
#include "channels/mpa/mpa_client_agg_service.h"
#include "channels/mpa/mpa_client_mp_agg_service.h"
#include "channels/proxy/sn_proxy_client_common.h"
#include "channels/proxy/tn_proxy_client_common.h"
#include "channels/transport/bson_headers.h"
#include "core/uuid.h"
#include "tests/channels/fakes/mpa_fakes.h"
#include "tests/channels/mpa/message_catalogue.h"

namespace qbx {
namespace {

using testing::LogCapture;
using zumbra::qbx::agg_service::messaging::AggSvcMpUnifiedMsg;
using Envelope = zumbra::qbx::messaging::GenericUnifiedMsg;
using Handle = testing::RecordingCallHandle<Envelope>;
using google::protobuf::FieldDescriptor;

// The field of AggSvcMpUnifiedMsg that carries `fullName`; null when there is none.
const FieldDescriptor* CarrierOf(const std::string& fullName) {
  const auto* d = AggSvcMpUnifiedMsg::descriptor();
  for (int i = 0; i < d->field_count(); ++i) {
    if (d->field(i)->message_type() != nullptr && d->field(i)->message_type()->full_name() == fullName) {
      return d->field(i);
    }
  }
  return nullptr;
}

// A length-delimited field of `number` as a peer with a newer message set writes it.
std::string RawField(uint32_t number, const std::string& bytes) {
  std::string out;
  auto varint = [&out](uint64_t v) {
    while (v >= 0x80) {
      out.push_back(static_cast<char>((v & 0x7f) | 0x80));
      v >>= 7;
    }
    out.push_back(static_cast<char>(v));
  };
  varint((static_cast<uint64_t>(number) << 3) | 2);
  varint(bytes.size());
  return out + bytes;
}

// ---- towards the management plane: the type-identifier table ----

class TypeIdCatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MpaClient::ResetRegistryForTest();
    owner_ = std::make_shared<MpaClient>(MpaClient::CreateArgs{nullptr, nullptr, "FabricStats", "qbx", 1, 9002, nullptr});
    layer_ = std::make_shared<MpaClientAggService>("FabricStats", owner_);
  }
  void TearDown() override { MpaClient::ResetRegistryForTest(); }

  // Answers a stored call with an application message of `typeId`; the envelope the call
  // was completed with, or nothing when the layer refused.
  std::optional<Envelope> Answer(const std::string& typeId, const std::string& payload) {
    const std::string id = UUID::Generate().ToString();
    boost::intrusive_ptr<Handle> call(new Handle);
    if (!layer_->AddToCallHandleMap(id, call)) return std::nullopt;
    bson_t* doc = BsonHeaders::New();
    BsonHeaders::AppendString(doc, "__TypeId__", typeId);
    BsonHeaders::AppendString(doc, "amqp_correlationId", id);
    std::string bytes = payload;
    rmqClientMessage record{};
    record.messageType = 11;
    record.headers = doc;
    record.payload = reinterpret_cast<uint8_t*>(bytes.data());
    record.payloadLen = static_cast<int64_t>(bytes.size());
    const int rc = layer_->RespondMsg(&record, "");
    BsonHeaders::Destroy(doc);
    if (rc != 0 || call->lasts != 1) return std::nullopt;
    return call->reply;
  }

  std::shared_ptr<MpaClient> owner_;
  std::shared_ptr<MpaClientAggService> layer_;
};

TEST_F(TypeIdCatalogueTest, EveryRowUnderEverySpellingTravelsInItsOwnNumberedField) {
  const auto expected = testing::ExpectedTypeIdTable();
  ASSERT_EQ(expected.size(), 112u);
  ASSERT_EQ(AggSvcTypeIdTable::Rows().size(), expected.size());
  size_t spellings = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto& row = expected[i];
    // Row by row the same spellings, so the first match is always the intended row.
    EXPECT_EQ(AggSvcTypeIdTable::Rows()[i].ids, row.ids) << "row " << i;
    for (const auto& id : row.ids) {
      SCOPED_TRACE(id);
      ++spellings;
      auto body = testing::Sample(row.fullName, id);
      ASSERT_TRUE(body) << "no protobuf type " << row.fullName;
      auto envelope = Answer(id, body->SerializeAsString());
      ASSERT_TRUE(envelope.has_value());
      AggSvcMpUnifiedMsg unified;
      ASSERT_TRUE(unified.ParseFromString(envelope->payload()));
      EXPECT_EQ(unified.obj_type(), id);
      EXPECT_EQ(unified.app_name(), "FabricStats");
      EXPECT_TRUE(unified.unknown_fields().empty());
      std::vector<const FieldDescriptor*> set;
      unified.GetReflection()->ListFields(unified, &set);
      std::vector<const FieldDescriptor*> carriers;
      for (const auto* f : set) {
        if (f->message_type() != nullptr) carriers.push_back(f);
      }
      ASSERT_EQ(carriers.size(), 1u);
      EXPECT_EQ(carriers[0]->message_type()->full_name(), row.fullName);
      // The numbers the peers already know stay: row index + 10.
      EXPECT_EQ(carriers[0]->number(), static_cast<int>(i) + 10);
      EXPECT_EQ(unified.GetReflection()->GetMessage(unified, carriers[0]).SerializeAsString(), body->SerializeAsString());
    }
  }
  EXPECT_EQ(spellings, 225u);  // one each for 5 rows, three each for 6, two each for the other 101
}

TEST_F(TypeIdCatalogueTest, NearMissSpellingsAreRefusedAndTheCallIsNotLeftOpen) {
  LogCapture log;
  for (const std::string id : {"com.zumbra.qbx.management.aggservice.IPSecVpnSessionStatusMsg",
                               "zumbra.qbx.agg_service.messaging.SummationStatsResponseMsg",
                               "com.zumbra.qbx.management.aggservice.lcpagent.tnAgentStateMsg",
                               "zumbra.qbx.agg_service.agent.TnAgentStateMsg ", "zumbra.qbx.edge.QbxEdgeStatusReplyMsg",
                               "zumbra.qbx.agg_service.l2.RealizedIpToLogicalPortListMsg"}) {
    SCOPED_TRACE(id);
    EXPECT_FALSE(Answer(id, "").has_value());
    EXPECT_TRUE(log.Contains("MpaClientAggService::GetRequestMsg Unknown message type (" + id + ")"));
  }
  EXPECT_EQ(layer_->OpenCallCount(), 0u);
}

// ---- from a smart NIC: the reply list ----

constexpr char kApp[] = "AggSvc-Routing";
constexpr char kSn[] = "5e000000-0000-4000-8000-00000000000a";

class ReplyCatalogueTest : public ::testing::Test {
 protected:
  struct Delivered {
    std::string typeId, routingKey, payload;
  };
  void SetUp() override {
    MpaClient::ResetRegistryForTest();
    // A host with smart NICs: replies reach the application's smart-NIC registration.
    MpaClient::SetNodePersonaSource([] { return 1u; });
    MpaClient::StartMpaClientEventLoop("AggSvc", "tcp://127.0.0.1:1", "tcp://127.0.0.1:1");
    // The event loop made the process-wide proxy clients; other tests expect none.
    TnProxyClientCommon::ResetInstanceForTest();
    SNProxyClientCommon::ResetInstanceForTest();
    MpaClient::RegisterSNHost(nullptr, [this](rmqClientMessage* m) { Record(m); }, kApp, "qbx", 1, 9002);
    owner_ = MpaClient::GetSNHostClient(kApp);
    ASSERT_TRUE(owner_);
    layer_ = std::make_shared<MpaClientMpAggService>(kApp, owner_);
    headers_ = BsonHeaders::New();
    BsonHeaders::AppendString(headers_, "__TypeId__", "com.zumbra.qbx.management.agg.messaging.ClientDataRequestMsg");
    BsonHeaders::AppendString(headers_, "amqp_correlationId", "corr-1");
    request_.messageType = 8;
    request_.headers = headers_;
  }
  void TearDown() override {
    layer_.reset();
    owner_.reset();
    BsonHeaders::Destroy(headers_);
    MpaClient::ResetRegistryForTest();
    MpaClient::SetNodePersonaSource(nullptr);
    AggSvcMpService::ResetForTest();
  }
  void Record(rmqClientMessage* m) {
    Delivered d;
    d.typeId = BsonHeaders::FindStringRaw(m->headers, m->headersLen, "__TypeId__").value_or("<none>");
    d.routingKey = BsonHeaders::FindStringRaw(m->headers, m->headersLen, "amqp_routing_key").value_or("<none>");
    if (m->payload != nullptr) d.payload.assign(reinterpret_cast<const char*>(m->payload), m->payloadLen);
    delivered_.push_back(d);
  }
  // One call answered with `payload` (a serialised unified message) and status 0.
  void Reply(const std::string& payload) {
    auto* observer = layer_->GetRpcCallObserver(&request_, "corr-1", 0);
    ASSERT_NE(observer, nullptr);
    layer_->SetAphUuidInRpcCallObserver(observer, kSn);
    Envelope envelope;
    envelope.set_payload(payload);
    observer->Next(envelope);
    observer->CallStatus(rpc::Status::Ok());  // handles the reply and deletes the observer
  }

  std::shared_ptr<MpaClient> owner_;
  std::shared_ptr<MpaClientMpAggService> layer_;
  bson_t* headers_ = nullptr;
  rmqClientMessage request_{};
  std::vector<Delivered> delivered_;
};

TEST_F(ReplyCatalogueTest, EveryReplyListTypeReachesTheApplicationAsSentAndBeatsTheNextOne) {
  const auto list = testing::ExpectedReplyList();
  ASSERT_EQ(list.size(), 115u);
  // The unified message declares its carriers in the list's order, after its two texts.
  const auto* d = AggSvcMpUnifiedMsg::descriptor();
  ASSERT_EQ(d->field_count(), 117);
  std::set<int> numbers;
  for (size_t i = 0; i < list.size(); ++i) {
    ASSERT_NE(d->field(static_cast<int>(i) + 2)->message_type(), nullptr);
    EXPECT_EQ(d->field(static_cast<int>(i) + 2)->message_type()->full_name(), list[i]);
    numbers.insert(d->field(static_cast<int>(i) + 2)->number());
  }
  EXPECT_EQ(numbers.size(), 115u);
  EXPECT_EQ(MpaClientMpAggService::ReplyTypeOrder(), list);
  ASSERT_EQ(MpaClientMpAggService::ReplyFields().size(), list.size());

  for (size_t i = 0; i < list.size(); ++i) {
    SCOPED_TRACE(list[i]);
    const auto* field = CarrierOf(list[i]);
    ASSERT_NE(field, nullptr);
    auto body = testing::Sample(list[i], "sn-" + std::to_string(i));
    ASSERT_TRUE(body);
    AggSvcMpUnifiedMsg unified;
    unified.set_obj_type("reply-" + std::to_string(i));
    unified.GetReflection()->MutableMessage(&unified, field)->CopyFrom(*body);
    // The next type of the list in the same reply is not what the application gets, even
    // where its field number is lower.
    if (i + 1 < list.size()) {
      auto later = testing::Sample(list[i + 1], "later");
      unified.GetReflection()->MutableMessage(&unified, CarrierOf(list[i + 1]))->CopyFrom(*later);
    }
    delivered_.clear();
    Reply(unified.SerializeAsString());
    ASSERT_EQ(delivered_.size(), 1u);
    EXPECT_EQ(delivered_[0].typeId, unified.obj_type());
    EXPECT_EQ(delivered_[0].routingKey, kSn);
    EXPECT_EQ(delivered_[0].payload, body->SerializeAsString());
  }
}

TEST_F(ReplyCatalogueTest, AReplyOfATypeThisHostDoesNotKnowIsLoggedNotDelivered) {
  LogCapture log;
  AggSvcMpUnifiedMsg head;
  head.set_obj_type("zumbra.qbx.agg_service.l3.SomeNewerMsg");
  // Field 300 with a repeated element: named once.
  Reply(head.SerializeAsString() + RawField(300, "abc") + RawField(300, "def"));
  EXPECT_TRUE(delivered_.empty());
  EXPECT_EQ(log.Count("carries a message this host does not know (field 300)"), 1u) << log.Dump();
  EXPECT_TRUE(log.Contains("reply of type (zumbra.qbx.agg_service.l3.SomeNewerMsg) from (" + std::string(kSn) + ")"));
  EXPECT_EQ(log.Count("HandleSNResponse End"), 1u);  // the record was still released

  // Beside a known type the known one is delivered, and nothing is said about the other.
  log.Clear();
  AggSvcMpUnifiedMsg known;
  known.mutable_l2_realized_ip_to_logical_port_list_msg()->add_logical_port_ids("lp-1");
  Reply(known.SerializeAsString() + RawField(300, "abc"));
  ASSERT_EQ(delivered_.size(), 1u);
  EXPECT_EQ(delivered_[0].payload, known.l2_realized_ip_to_logical_port_list_msg().SerializeAsString());
  EXPECT_FALSE(log.Contains("does not know"));

  // A reply that carries nothing at all stays silent, as it always did.
  log.Clear();
  delivered_.clear();
  Reply(head.SerializeAsString());
  EXPECT_TRUE(delivered_.empty());
  EXPECT_FALSE(log.Contains("does not know"));
}

// The smart NIC's own calls up to its host take the same message out of a unified message
// as the reply road does, and say so when they carry only an unknown type.
TEST(MpServiceCatalogueTest, CarriedMessageFollowsTheReplyListAndUnknownTypesAreLogged) {
  AggSvcMpService service;
  AggSvcMpUnifiedMsg both;
  both.mutable_l3_gre_tunnel_stats_msg()->set_target_id("late in the list, low number");
  both.mutable_edge_qbx_edge_status_reply_msg()->set_target_id("early in the list, high number");
  EXPECT_EQ(service.GetRequestMsg(&both), both.mutable_edge_qbx_edge_status_reply_msg());

  LogCapture log;
  AggSvcMpUnifiedMsg unknown;
  ASSERT_TRUE(unknown.ParseFromString(RawField(250, "x")));
  unknown.set_obj_type("zumbra.qbx.edge.SomethingNewMsg");
  unknown.set_app_name(kApp);
  EXPECT_EQ(service.GetRequestMsg(&unknown), nullptr);
  EXPECT_TRUE(log.Contains("message of type (zumbra.qbx.edge.SomethingNewMsg) for (AggSvc-Routing) is not known on "
                           "this host (field 250)"))
      << log.Dump();
  EXPECT_TRUE(log.Contains("has empty message"));
}

}  // namespace
}  // namespace qbx
