// The app-specific message layer: open calls by correlation id (one answer per call, the
// 300 s purge on an injected clock, answers for purged and unwrappable replies), the
// envelope conversion and the observer records.
#include <gtest/gtest.h>

#include "channels/mpa/mpa_client_agg_service.h"
#include "channels/transport/bson_headers.h"
#include "core/uuid.h"
#include "platform/runtime/manual_clock.h"
#include "tests/channels/fakes/mpa_fakes.h"

namespace qbx {
namespace {

using testing::LogCapture;
using Handle = testing::RecordingCallHandle<zumbra::qbx::messaging::GenericUnifiedMsg>;
using zumbra::qbx::agg_service::messaging::AggSvcMpUnifiedMsg;
using zumbra::qbx::agg_service::messaging::SummationStatsResponseMsg;

constexpr const char* kSummationTypeId = "com.zumbra.qbx.management.agg.messaging.SummationStatsResponseMsg";

class AppSpecificTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MpaClient::ResetRegistryForTest();
    clock_ = std::make_shared<ManualClock>();
    owner_ = std::make_shared<MpaClient>(MpaClient::CreateArgs{nullptr, nullptr, "FabricStats", "qbx", 1, 9002, nullptr});
    layer_ = std::make_shared<MpaClientAggService>("FabricStats", owner_, clock_);
  }

  // A reply record as the aggregation client sends it.
  struct Reply {
    rmqClientMessage rec{};
    bson_t* doc = nullptr;
    std::string payload;
    ~Reply() { BsonHeaders::Destroy(doc); }
  };
  std::unique_ptr<Reply> MakeReply(const std::string& typeId, const std::string& corr, const std::string& payload) {
    auto r = std::make_unique<Reply>();
    r->doc = BsonHeaders::New();
    BsonHeaders::AppendString(r->doc, "__TypeId__", typeId);
    if (!corr.empty()) BsonHeaders::AppendString(r->doc, "amqp_correlationId", corr);
    r->payload = payload;
    r->rec.messageType = 11;
    r->rec.headers = r->doc;
    r->rec.payload = reinterpret_cast<uint8_t*>(r->payload.data());
    r->rec.payloadLen = static_cast<int64_t>(r->payload.size());
    return r;
  }

  std::shared_ptr<ManualClock> clock_;
  std::shared_ptr<MpaClient> owner_;
  std::shared_ptr<MpaClientAggService> layer_;
};

TEST_F(AppSpecificTest, DuplicateCorrelationIdIsRefusedAndTheFirstCallStays) {
  LogCapture log;
  boost::intrusive_ptr<Handle> first(new Handle);
  boost::intrusive_ptr<Handle> second(new Handle);
  EXPECT_TRUE(layer_->AddToCallHandleMap("id", first));
  EXPECT_FALSE(layer_->AddToCallHandleMap("id", second));
  EXPECT_TRUE(log.Contains("AddToCallHandleMap Handle with corelationId (id) already present"));
  EXPECT_EQ(layer_->GetFromCallHandleMap("id"), first);
  EXPECT_EQ(second->lasts + second->errors, 0);
}

TEST_F(AppSpecificTest, ReplyCompletesItsCallExactlyOnce) {
  boost::intrusive_ptr<Handle> call(new Handle);
  const std::string id = UUID::Generate().ToString();
  ASSERT_TRUE(layer_->AddToCallHandleMap(id, call));
  SummationStatsResponseMsg body;
  body.set_seq_num(5);
  auto reply = MakeReply(kSummationTypeId, id, body.SerializeAsString());
  EXPECT_EQ(layer_->RespondMsg(&reply->rec, ""), 0);
  ASSERT_EQ(call->lasts, 1);
  EXPECT_EQ(layer_->OpenCallCount(), 0u);
  // The envelope carries the response in the unified message, and the correlation id as
  // its tracking id.
  AggSvcMpUnifiedMsg unified;
  ASSERT_TRUE(unified.ParseFromString(call->reply.payload()));
  EXPECT_EQ(unified.obj_type(), kSummationTypeId);
  EXPECT_EQ(unified.app_name(), "FabricStats");
  EXPECT_EQ(unified.messaging_summation_stats_response_msg().seq_num(), 5u);
  const auto& t = call->reply.cookies().tracking_id();
  EXPECT_EQ(UUID(t.first_half(), t.second_half()).ToString(), id);
  // A second reply with the same id (a pull that produced two messages) finds nothing and
  // is reported as an extra.
  LogCapture log;
  EXPECT_EQ(layer_->RespondMsg(&reply->rec, ""), -1);
  EXPECT_EQ(call->lasts, 1);
  EXPECT_TRUE(log.Contains("already answered, dropping extra reply of type (" + std::string(kSummationTypeId)));
}

TEST_F(AppSpecificTest, ACallCountsAsAnsweredAfterItsReplyOrRefusalUntilItsIdIsOpenAgain) {
  boost::intrusive_ptr<Handle> call(new Handle);
  ASSERT_TRUE(layer_->AddToCallHandleMap("a", call));
  EXPECT_FALSE(layer_->WasAnswered("a"));  // open, not answered
  EXPECT_FALSE(layer_->WasAnswered("never"));
  auto reply = MakeReply(kSummationTypeId, "a", SummationStatsResponseMsg().SerializeAsString());
  ASSERT_EQ(layer_->RespondMsg(&reply->rec, ""), 0);
  EXPECT_TRUE(layer_->WasAnswered("a"));
  // A new request with the same id is open again, and its reply goes through.
  boost::intrusive_ptr<Handle> again(new Handle);
  ASSERT_TRUE(layer_->AddToCallHandleMap("a", again));
  EXPECT_FALSE(layer_->WasAnswered("a"));
  EXPECT_EQ(layer_->RespondMsg(&reply->rec, ""), 0);
  EXPECT_EQ(again->lasts, 1);
  // A refused call counts too; a removed one (no answer) does not.
  boost::intrusive_ptr<Handle> refused(new Handle);
  ASSERT_TRUE(layer_->AddToCallHandleMap("r", refused));
  ASSERT_TRUE(layer_->RefuseCall("r", rpc::AppStatus::APPLICATION_ERROR));
  EXPECT_TRUE(layer_->WasAnswered("r"));
  boost::intrusive_ptr<Handle> removed(new Handle);
  ASSERT_TRUE(layer_->AddToCallHandleMap("x", removed));
  layer_->RemoveFromCallHandleMap("x");
  EXPECT_FALSE(layer_->WasAnswered("x"));
}

TEST_F(AppSpecificTest, RepliesWithoutAStoredCallAreDropped) {
  LogCapture log;
  auto reply = MakeReply(kSummationTypeId, "", "");
  EXPECT_EQ(layer_->RespondMsg(&reply->rec, ""), -1);
  EXPECT_TRUE(log.Contains("RespondMsg empty corelationId"));
  EXPECT_EQ(layer_->RespondMsg(&reply->rec, "unknown"), -1);
  EXPECT_TRUE(log.Contains("RespondMsg Invalid corealtionId (unknown) and empty amqpRoutingKey"));
}

TEST_F(AppSpecificTest, ReplyThatCannotBeWrappedAnswersTheCallWithAnApplicationError) {
  boost::intrusive_ptr<Handle> call(new Handle);
  ASSERT_TRUE(layer_->AddToCallHandleMap("id", call));
  auto reply = MakeReply("com.example.NotInTheTable", "id", "x");
  EXPECT_EQ(layer_->RespondMsg(&reply->rec, ""), -1);
  EXPECT_EQ(call->errors, 1);
  EXPECT_EQ(call->lastError, rpc::AppStatus::APPLICATION_ERROR);
  EXPECT_EQ(layer_->OpenCallCount(), 0u);
  // So does a payload that does not parse as the named type.
  boost::intrusive_ptr<Handle> other(new Handle);
  ASSERT_TRUE(layer_->AddToCallHandleMap("id2", other));
  auto garbage = MakeReply(kSummationTypeId, "id2", std::string("\xff\xff\xff", 3));
  EXPECT_EQ(layer_->RespondMsg(&garbage->rec, ""), -1);
  EXPECT_EQ(other->errors, 1);
}

TEST_F(AppSpecificTest, APayloadGoesIntoTheEnvelopeAsTheMessageItSerialises) {
  // A statistics answer with nested targets, counters and errors: the envelope must read back
  // as the very message, whatever the order its fields come in.
  SummationStatsResponseMsg body;
  body.set_seq_num(77);
  auto* type = body.mutable_stats()->add_target_type_stats();
  for (int t = 0; t < 3; ++t) {
    auto* target = type->add_target_stats();
    target->add_errors(t);
    auto* counter = target->add_counters();
    counter->set_key("rx");
    counter->set_value(1.5 * t);
  }
  boost::intrusive_ptr<Handle> call(new Handle);
  ASSERT_TRUE(layer_->AddToCallHandleMap("full", call));
  auto reply = MakeReply(kSummationTypeId, "full", body.SerializeAsString());
  ASSERT_EQ(layer_->RespondMsg(&reply->rec, ""), 0);
  AggSvcMpUnifiedMsg unified;
  ASSERT_TRUE(unified.ParseFromString(call->reply.payload()));
  EXPECT_EQ(unified.obj_type(), kSummationTypeId);
  EXPECT_EQ(unified.messaging_summation_stats_response_msg().SerializeAsString(), body.SerializeAsString());

  // Payloads that are no message at all: a field cut short, a length past the end, a field
  // number 0, an unknown wire type.
  const std::string bad[] = {std::string("\x08", 1), std::string("\x12\x05" "ab", 4), std::string("\x00\x01", 2),
                             std::string("\x0f\x01", 2)};
  for (size_t i = 0; i < sizeof(bad) / sizeof(bad[0]); ++i) {
    boost::intrusive_ptr<Handle> refused(new Handle);
    const std::string id = "bad" + std::to_string(i);
    ASSERT_TRUE(layer_->AddToCallHandleMap(id, refused));
    auto garbage = MakeReply(kSummationTypeId, id, bad[i]);
    EXPECT_EQ(layer_->RespondMsg(&garbage->rec, ""), -1) << i;
    EXPECT_EQ(refused->errors, 1) << i;
    EXPECT_EQ(refused->lasts, 0) << i;
  }
}

TEST_F(AppSpecificTest, APayloadMalformedInsideANestedMessageIsRefused) {
  // Each is whole at the top level (field 2, stats, with its length right), but not inside:
  // a nested field cut short, a nested length past its end, a string four levels down that
  // runs out, a packed list of errors whose last varint is cut.
  SummationStatsResponseMsg deep;
  deep.mutable_stats()->add_target_type_stats()->add_target_stats()->add_counters()->set_key("rx");
  std::string innermost = deep.SerializeAsString();
  innermost[innermost.size() - 3] = '\x7f';  // the key's length, four levels down
  const std::string bad[] = {std::string("\x12\x01\x08", 3), std::string("\x12\x04\x0a\x05" "ab", 6), innermost,
                             std::string("\x12\x07\x0a\x05\x22\x03\x1a\x01\x80", 9)};
  for (size_t i = 0; i < sizeof(bad) / sizeof(bad[0]); ++i) {
    boost::intrusive_ptr<Handle> refused(new Handle);
    const std::string id = "nested" + std::to_string(i);
    ASSERT_TRUE(layer_->AddToCallHandleMap(id, refused));
    auto reply = MakeReply(kSummationTypeId, id, bad[i]);
    EXPECT_EQ(layer_->RespondMsg(&reply->rec, ""), -1) << i;
    EXPECT_EQ(refused->errors, 1) << i;
    EXPECT_EQ(refused->lastError, rpc::AppStatus::APPLICATION_ERROR) << i;
    EXPECT_EQ(refused->lasts, 0) << i;
  }
  EXPECT_EQ(layer_->OpenCallCount(), 0u);
  // What a parser accepts passes as the bytes it is: errors 1 and 2 as a packed list, then
  // an unknown field 127.
  const std::string packed("\x12\x08\x0a\x06\x22\x04\x1a\x02\x01\x02\xf8\x07\x01", 13);
  SummationStatsResponseMsg check;
  ASSERT_TRUE(check.ParseFromString(packed));
  ASSERT_EQ(check.stats().target_type_stats(0).target_stats(0).errors_size(), 2);
  boost::intrusive_ptr<Handle> ok(new Handle);
  ASSERT_TRUE(layer_->AddToCallHandleMap("fine", ok));
  auto reply = MakeReply(kSummationTypeId, "fine", packed);
  ASSERT_EQ(layer_->RespondMsg(&reply->rec, ""), 0);
  EXPECT_EQ(ok->lasts, 1);
  AggSvcMpUnifiedMsg unified;
  ASSERT_TRUE(unified.ParseFromString(ok->reply.payload()));
  EXPECT_EQ(unified.messaging_summation_stats_response_msg().stats().SerializeAsString(),
            check.stats().SerializeAsString());
}

TEST_F(AppSpecificTest, StalePurgeAnswersCallsOlderThan300SecondsWithAborted) {
  boost::intrusive_ptr<Handle> old(new Handle);
  boost::intrusive_ptr<Handle> edge(new Handle);
  boost::intrusive_ptr<Handle> young(new Handle);
  ASSERT_TRUE(layer_->AddToCallHandleMap("old", old));
  clock_->Advance(std::chrono::nanoseconds(1));
  ASSERT_TRUE(layer_->AddToCallHandleMap("edge", edge));
  clock_->Advance(std::chrono::seconds(100));
  ASSERT_TRUE(layer_->AddToCallHandleMap("young", young));
  clock_->Advance(std::chrono::seconds(200));  // "edge" is exactly 300 s old now
  layer_->PurgeStaleCallHandles();
  EXPECT_EQ(old->errors, 1);
  EXPECT_EQ(old->lastError, rpc::AppStatus::ABORTED);
  EXPECT_EQ(edge->errors, 0);
  EXPECT_EQ(young->errors, 0);
  EXPECT_EQ(layer_->OpenCallCount(), 2u);
  clock_->Advance(std::chrono::seconds(100));
  layer_->PurgeStaleCallHandles();
  EXPECT_EQ(edge->errors, 1);
  EXPECT_EQ(young->errors, 0);
  EXPECT_TRUE(layer_->IsCorelationIdInCallHandleMap("young"));
}

TEST_F(AppSpecificTest, FullPurgeAnswersEveryOpenCall) {
  boost::intrusive_ptr<Handle> a(new Handle);
  boost::intrusive_ptr<Handle> b(new Handle);
  layer_->AddToCallHandleMap("a", a);
  layer_->AddToCallHandleMap("b", b);
  layer_->PurgeCallHandleMap();
  EXPECT_EQ(a->errors + b->errors, 2);
  EXPECT_EQ(layer_->OpenCallCount(), 0u);
}

TEST_F(AppSpecificTest, EnvelopeCorrelationIdAlwaysLeavesAsTheTrackingUuid) {
  auto reply = MakeReply(kSummationTypeId, "", "");
  zumbra::qbx::messaging::GenericUnifiedMsg out;
  std::string corr = "not-a-uuid";
  std::string typeId;
  ASSERT_TRUE(layer_->GetGenericUnifiedMsg(out, &reply->rec, corr, typeId, true));
  EXPECT_NE(corr, "not-a-uuid");
  UUID parsed;
  ASSERT_TRUE(UUID::Parse(corr, parsed));
  EXPECT_EQ(out.cookies().tracking_id().first_half(), parsed.FirstHalf());
  EXPECT_EQ(out.ctrl_headers().correlation_id(), "not-a-uuid");  // the control header keeps what was given

  zumbra::qbx::messaging::GenericUnifiedMsg fresh;
  std::string empty;
  ASSERT_TRUE(layer_->GetGenericUnifiedMsg(fresh, &reply->rec, empty, typeId, false));
  UUID parsedEmpty;
  EXPECT_TRUE(UUID::Parse(empty, parsedEmpty));
  EXPECT_FALSE(fresh.has_ctrl_headers());
}

TEST_F(AppSpecificTest, StringLookupSkipsElementsOfAnotherType) {
  bson_t* doc = BsonHeaders::New();
  BsonHeaders::AppendInt64(doc, "key", 1);
  BsonHeaders::AppendString(doc, "key", "value");
  EXPECT_EQ(layer_->GetStringObjectFromBson(doc, "key"), std::optional<std::string>("value"));
  EXPECT_FALSE(layer_->GetStringObjectFromBson(doc, "missing").has_value());
  EXPECT_FALSE(layer_->GetStringObjectFromBson(nullptr, "key").has_value());
  BsonHeaders::Destroy(doc);
}

// A reply whose header block names its call elements twice is read by their first
// elements on both reply roads: it completes the call of the first correlation id, as the
// type named first, and leaves the other call open.
TEST_F(AppSpecificTest, AReplyNamingItsCallTwiceAnswersTheFirstCallAsTheFirstType) {
  auto reply = [&](const std::string& first, const std::string& second) {
    SummationStatsResponseMsg body;
    body.set_seq_num(7);
    auto r = MakeReply(kSummationTypeId, first, body.SerializeAsString());
    BsonHeaders::AppendString(r->doc, "__TypeId__", "com.zumbra.qbx.management.agg.messaging.NoSuchMsg");
    BsonHeaders::AppendString(r->doc, "amqp_correlationId", second);
    return r;
  };
  boost::intrusive_ptr<Handle> first(new Handle);
  boost::intrusive_ptr<Handle> second(new Handle);
  const std::string a = UUID::Generate().ToString();
  const std::string b = UUID::Generate().ToString();
  ASSERT_TRUE(layer_->AddToCallHandleMap(a, first));
  ASSERT_TRUE(layer_->AddToCallHandleMap(b, second));
  auto toMp = reply(a, b);
  EXPECT_EQ(layer_->RespondMsg(&toMp->rec, ""), 0);
  ASSERT_EQ(first->lasts, 1);
  EXPECT_EQ(second->lasts + second->errors, 0);
  AggSvcMpUnifiedMsg unified;
  ASSERT_TRUE(unified.ParseFromString(first->reply.payload()));
  EXPECT_EQ(unified.obj_type(), kSummationTypeId);
  EXPECT_EQ(unified.messaging_summation_stats_response_msg().seq_num(), 7u);

  boost::intrusive_ptr<Handle> snFirst(new Handle);
  const std::string c = UUID::Generate().ToString();
  ASSERT_TRUE(layer_->AddToCallHandleMap(c, snFirst));
  auto toSn = reply(c, b);
  layer_->RespondMsgToSN(&toSn->rec);
  EXPECT_EQ(snFirst->lasts + snFirst->errors, 1);
  EXPECT_EQ(second->lasts + second->errors, 0);
  EXPECT_EQ(layer_->OpenCallCount(), 1u);
}

TEST_F(AppSpecificTest, ObserverRecordTypesFollowTheRequest) {
  bson_t* doc = BsonHeaders::New();
  BsonHeaders::AppendString(doc, "amqp_correlationId", "c-1");
  for (auto [request, response] : std::vector<std::pair<uint32_t, uint32_t>>{{10, 9}, {4, 12}, {12, 12}, {8, 11}}) {
    rmqClientMessage in{};
    in.messageType = request;
    in.cookieId = 3;
    in.headers = doc;
    rmqClientMessage out{};
    ASSERT_TRUE(layer_->PopulateObserverRmqMsg(out, in));
    EXPECT_EQ(out.messageType, response);
    EXPECT_EQ(out.cookieId, 3);
    EXPECT_STREQ(out.appId, "unused");
    EXPECT_EQ(BsonHeaders::FindString(static_cast<bson_t*>(out.headers), "amqp_correlationId"),
              std::optional<std::string>("c-1"));
    MpaClientAppSpecific::FreeObserverRmqMsg(&out);
  }
  rmqClientMessage in{};
  in.messageType = 13;
  rmqClientMessage out{};
  EXPECT_FALSE(layer_->PopulateObserverRmqMsg(out, in));
  // A header without a correlation id is refused and nothing is leaked.
  bson_t* empty = BsonHeaders::New();
  in.messageType = 8;
  in.headers = empty;
  EXPECT_FALSE(layer_->PopulateObserverRmqMsg(out, in));
  EXPECT_EQ(out.appType, nullptr);
  BsonHeaders::Destroy(empty);
  BsonHeaders::Destroy(doc);
}

TEST_F(AppSpecificTest, NoticesReachTheApplicationThroughTheReceiveRoutine) {
  std::vector<std::pair<uint32_t, std::string>> got;
  MpaClient::Register(nullptr, [&](rmqClientMessage* m) {
    got.emplace_back(m->messageType, BsonHeaders::FindStringRaw(m->headers, m->headersLen, "app_type").value_or(""));
  }, "FabricStats", "qbx", 1, 9002, 1, 2, nullptr);
  auto layer = std::make_shared<MpaClientAggService>("FabricStats", MpaClient::GetClient("FabricStats"), clock_);
  layer->SendRegistrationAckToVertical(false);
  layer->SendCloseToVertical(false);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], std::make_pair(2u, std::string("FabricStats")));
  EXPECT_EQ(got[1].first, 5u);
  EXPECT_TRUE(MpaClient::GetClient("FabricStats")->IsRegistrationAcked() == false);
}

TEST_F(AppSpecificTest, BaseLayerCannotSend) {
  MpaClientAppSpecific base("App", owner_);
  auto reply = MakeReply(kSummationTypeId, "", "");
  std::string corr;
  EXPECT_EQ(base.SendMsg(&reply->rec, corr, ""), -1);
  EXPECT_FALSE(base.IsAppInitRequired());
  EXPECT_TRUE(layer_->IsAppInitRequired());
}

}  // namespace
}  // namespace qbx
