// The queue-based messaging client of a vertical: registration, the receive queue and its
// dequeue thread, the acknowledgement and close handling, the send path with its BSON
// header block, and the refusal of malformed records from outside.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <thread>

#include "channels/proxy/sn_proxy_client_common.h"
#include "channels/proxy/tn_proxy_client_common.h"
#include "channels/queue/agg_svc_mpa_client.h"
#include "channels/transport/bson_headers.h"
#include "tests/channels/fakes/mpa_fakes.h"

namespace qbx {
namespace {

using testing::LogCapture;
using testing::RecordingAggServiceClient;

// Captures what the vertical sends.
class CapturingMpaClient : public MpaClient {
 public:
  struct Sent {
    uint32_t type;
    std::string typeId;
    std::optional<std::string> correlationId;
    std::string routingKey;
    std::string contentType;
    std::string payload;
  };
  using MpaClient::MpaClient;
  int32_t SendMsgViaTnProxy(rmqClientMessage* m, const std::string&, const std::string&) override {
    Sent s;
    s.type = m->messageType;
    s.typeId = BsonHeaders::FindString(static_cast<const bson_t*>(m->headers), "__TypeId__").value_or("");
    s.correlationId = BsonHeaders::FindString(static_cast<const bson_t*>(m->headers), "amqp_correlationId");
    s.routingKey = m->routingKey != nullptr ? m->routingKey : "<null>";
    s.contentType = m->contentType != nullptr ? m->contentType : "";
    s.payload.assign(reinterpret_cast<const char*>(m->payload), static_cast<size_t>(m->payloadLen));
    sent.push_back(s);
    return result;
  }
  std::vector<Sent> sent;
  int32_t result = 0;
};

class AggSvcMpaClientTest : public ::testing::Test {
 protected:
  static constexpr const char* kApp = "FabricStats";

  void SetUp() override {
    MpaClient::ResetRegistryForTest();
    MpaClient::SetAggAppClientFactory([](const MpaClient::CreateArgs& a) { return std::make_shared<CapturingMpaClient>(a); });
    AggSvcMpaClient::SetCloseReconnectDelayForTest(std::chrono::milliseconds(0));
    agg_ = std::make_shared<RecordingAggServiceClient>(kApp);
    client_ = AggSvcMpaClient::RegisterVertical(kApp, nullptr, nullptr);
    ASSERT_NE(client_, nullptr);
    client_->SetAggServiceClient(agg_);
  }
  void TearDown() override {
    if (client_) client_->Close();
    client_.reset();
    MpaClient::ResetRegistryForTest();
    MpaClient::SetAggAppClientFactory(nullptr);
    AggSvcMpaClient::SetCloseReconnectDelayForTest(std::chrono::seconds(1));
  }

  CapturingMpaClient* Channel() { return dynamic_cast<CapturingMpaClient*>(MpaClient::GetClient(kApp).get()); }

  // Delivers one record as the channel's receive routine does.
  void Deliver(uint32_t type, const std::string& payload, const std::vector<uint8_t>& headers, int32_t cookie = -1,
               const char* app = kApp) {
    rmqClientMessage rec{};
    rec.messageType = type;
    rec.appType = const_cast<char*>(app);
    rec.cookieId = cookie;
    rec.payload = payload.empty() ? nullptr : reinterpret_cast<uint8_t*>(const_cast<char*>(payload.data()));
    rec.payloadLen = static_cast<int64_t>(payload.size());
    if (!headers.empty()) {
      rec.headers = const_cast<uint8_t*>(headers.data());
      rec.headersLen = static_cast<uint32_t>(headers.size());
    }
    AggSvcMpaClient::AggSvcMpaClientRxCallbackWrapper(&rec);
  }
  void Ack(uint32_t major = 4, uint32_t minor = 1) {
    rmqClientMessage rec{};
    rec.messageType = RMQ_CLIENT_REGISTRATION_ACK;
    rec.appType = const_cast<char*>(kApp);
    rec.cookieId = -1;  // the RPC transport's cookie
    rec.mpMajorVersion = major;
    rec.mpMinorVersion = minor;
    AggSvcMpaClient::AggSvcMpaClientRxCallbackWrapper(&rec);
    ASSERT_TRUE(agg_->WaitForVersionSets(++acks_));  // handled in order: all before it too
  }
  static std::vector<uint8_t> Headers(const std::string& typeId, const std::string& corr, const std::string& replyTo) {
    return BsonHeaders::MakeRaw({{"__TypeId__", typeId}, {"amqp_correlationId", corr}, {"amqp_replyTo", replyTo}});
  }

  // First member: installed before the dequeue thread starts, removed after it ended.
  LogCapture log_;
  std::shared_ptr<RecordingAggServiceClient> agg_;
  std::shared_ptr<AggSvcMpaClient> client_;
  int acks_ = 0;
};

TEST_F(AggSvcMpaClientTest, SecondRegistrationOfANameIsRefused) {
  EXPECT_EQ(AggSvcMpaClient::RegisterVertical(kApp, nullptr, nullptr), nullptr);
  EXPECT_TRUE(log_.HasTag("MPA10077"));
  EXPECT_EQ(AggSvcMpaClient::Find(kApp), client_);
  EXPECT_EQ(AggSvcMpaClient::RegisterVerticalSimple("Other", nullptr), nullptr);
  EXPECT_EQ(AggSvcMpaClient::RegisterVertical("", nullptr, nullptr), nullptr);
}

TEST_F(AggSvcMpaClientTest, PayloadBeforeTheAcknowledgementIsDroppedAfterItProcessed) {
  Deliver(8, "early", Headers("T1", "c1", "r1"));
  Ack(4, 1);
  Deliver(8, "late", Headers("T2", "c2", "r2"));
  ASSERT_TRUE(agg_->WaitForRequests(1));
  client_->StopRxThread(30);  // everything queued has been handled once the thread ended
  auto requests = agg_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].payload, "late");
  EXPECT_EQ(requests[0].typeId, "T2");
  EXPECT_EQ(requests[0].correlationId, "c2");
  EXPECT_EQ(requests[0].replyTo, "r2");
  EXPECT_EQ(agg_->mpMajor.load(), 4u);
  EXPECT_EQ(agg_->mpMinor.load(), 1u);
  EXPECT_TRUE(log_.Contains("Waiting for REGISTRATION_ACK"));
}

// A header block that names the call elements twice is read by their first elements, as
// the reply path reads it: the vertical must answer the call that the reply will complete.
TEST_F(AggSvcMpaClientTest, CallElementsNamedTwiceReachTheVerticalByTheirFirstValues) {
  Ack();
  Deliver(8, "dup",
          BsonHeaders::MakeRaw({{"__TypeId__", "T1"},
                                {"amqp_correlationId", "c1"},
                                {"amqp_replyTo", "r1"},
                                {"__TypeId__", "T2"},
                                {"amqp_correlationId", "c2"},
                                {"amqp_replyTo", "r2"}}));
  ASSERT_TRUE(agg_->WaitForRequests(1));
  auto requests = agg_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].typeId, "T1");
  EXPECT_EQ(requests[0].correlationId, "c1");
  EXPECT_EQ(requests[0].replyTo, "r1");
  // The receive routine's own reading of the raw block agrees.
  EXPECT_TRUE(log_.Contains("typeId:T1, correlationIdc1, relyTo:r1"));
}

TEST_F(AggSvcMpaClientTest, AcknowledgementWithAStaleCookieIsIgnored) {
  rmqClientMessage rec{};
  rec.messageType = RMQ_CLIENT_REGISTRATION_ACK;
  rec.appType = const_cast<char*>(kApp);
  rec.cookieId = 42;
  AggSvcMpaClient::AggSvcMpaClientRxCallbackWrapper(&rec);
  EXPECT_FALSE(Channel()->IsRegistrationAcked());
  Ack();
  EXPECT_TRUE(log_.Contains("Received REGISTRATION_ACK with cookieId 42 while current cookieId is -1, ignoring"));
  EXPECT_EQ(agg_->mpMajor.load(), 4u);
}

TEST_F(AggSvcMpaClientTest, FullQueueDropsTheNewMessageAndKeepsOrder) {
  Ack();
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  agg_->onRequest = [&](const RecordingAggServiceClient::Request& r) {
    if (r.payload == "first") {
      entered.set_value();
      released.wait();
    }
    return 0;
  };
  Deliver(8, "first", Headers("T", "c", "r"));
  entered.get_future().wait();  // the dequeue thread holds "first"; the queue is empty
  for (int i = 0; i < 1024; ++i) Deliver(8, std::to_string(i), Headers("T", "c", "r"));
  EXPECT_EQ(client_->RxQueueSize(), 1024u);
  EXPECT_FALSE(log_.HasTag("MPA10058"));
  Deliver(8, "dropped", Headers("T", "c", "r"));
  EXPECT_TRUE(log_.HasTag("MPA10058"));
  release.set_value();
  ASSERT_TRUE(agg_->WaitForRequests(1025));
  auto requests = agg_->Requests();
  ASSERT_EQ(requests.size(), 1025u);
  for (int i = 0; i < 1024; ++i) EXPECT_EQ(requests[static_cast<size_t>(i) + 1].payload, std::to_string(i));
}

TEST_F(AggSvcMpaClientTest, ThrowingHandlerDoesNotEndTheDequeueThread) {
  Ack();
  agg_->onRequest = [](const RecordingAggServiceClient::Request& r) -> int {
    if (r.payload == "boom") throw std::runtime_error("handler failed");
    return r.payload == "negative" ? -1001 : 0;
  };
  Deliver(8, "boom", Headers("T", "c", "r"));
  Deliver(8, "negative", Headers("T", "c", "r"));
  Deliver(8, "fine", Headers("T", "c", "r"));
  ASSERT_TRUE(agg_->WaitForRequests(3));
  EXPECT_EQ(client_->RxThreadState(), 1u);
  EXPECT_TRUE(log_.Contains("Exception while ProcessRxCallbackMsg for app"));
  EXPECT_TRUE(client_->StopRxThread(30));
  EXPECT_TRUE(client_->IsRxThreadTerminated());
}

TEST_F(AggSvcMpaClientTest, DequeueThreadSignalsItsEndWhenTheAggregationClientIsGone) {
  std::weak_ptr<RecordingAggServiceClient> weak = agg_;
  agg_.reset();
  ASSERT_TRUE(weak.expired());
  Deliver(8, "orphan", Headers("T", "c", "r"));
  // The thread ends by itself and says so: the stop does not wait for its time-out.
  ASSERT_TRUE(client_->WaitForRxThreadEndForTest(20));
  EXPECT_TRUE(client_->StopRxThread(30));
  EXPECT_TRUE(client_->IsRxThreadTerminated());
  EXPECT_TRUE(log_.HasTag("MPA10060"));
}

TEST_F(AggSvcMpaClientTest, CloseStopsTheThreadAndUnregisters) {
  client_->Close();
  EXPECT_TRUE(client_->IsRxThreadTerminated());
  EXPECT_EQ(AggSvcMpaClient::Find(kApp), nullptr);
  EXPECT_EQ(MpaClient::GetClient(kApp), nullptr);
  EXPECT_TRUE(log_.Contains("Successfully stopped dequeue thread"));
  client_->Close();  // a second close finds nothing to do
  Deliver(8, "after", Headers("T", "c", "r"));
  EXPECT_TRUE(log_.HasTag("MPA10056"));
}

TEST_F(AggSvcMpaClientTest, StopOfAThreadThatNeverStartedReturnsAtOnce) {
  auto idle = std::make_shared<AggSvcMpaClient>("Idle", nullptr, nullptr, AggSvcMpaClient::kModeHost);
  EXPECT_TRUE(idle->StopRxThread(30));
  EXPECT_EQ(idle->RxThreadState(), 0u);
}

TEST_F(AggSvcMpaClientTest, CloseNoticeClearsTheAcknowledgementAndRefusesSending) {
  Ack();
  ASSERT_TRUE(client_->SendMsgToMpaWrapper("p", "T", "", ""));
  Channel()->SetConnState(MpaClient::STATE_CONNECTED);
  client_->HandleCloseMsg(7);  // another cookie: ignored
  EXPECT_TRUE(Channel()->IsRegistrationAcked());
  client_->HandleCloseMsg(-1);
  EXPECT_TRUE(log_.Contains("Changed connection state to STATE_INIT"));
  EXPECT_FALSE(Channel()->IsRegistrationAcked());
  EXPECT_EQ(Channel()->GetConnState(), MpaClient::STATE_INIT);
  EXPECT_FALSE(client_->SendMsgToMpaWrapper("p", "T", "", ""));
  EXPECT_TRUE(log_.HasTag("MPA10066"));
  // Requests wait for the next acknowledgement.
  Deliver(8, "dropped", Headers("T", "c", "r"));
  Ack();
  EXPECT_TRUE(log_.Contains("Waiting for REGISTRATION_ACK"));
  EXPECT_TRUE(agg_->Requests().empty());
  EXPECT_TRUE(client_->SendMsgToMpaWrapper("p", "T", "", ""));
}

TEST_F(AggSvcMpaClientTest, SendBuildsReplyOrPublishRecords) {
  EXPECT_FALSE(client_->SendMsgToMpaWrapper("x", "T", "", ""));  // not acknowledged, state 1
  EXPECT_TRUE(log_.HasTag("MPA10066"));
  Ack();
  ASSERT_TRUE(client_->SendMsgToMpaWrapper(std::string("pay\0load", 8), "Resp", "corr-1", "aph-1"));
  ASSERT_TRUE(client_->SendMsgToMpaWrapper("pub", "Pub", "", ""));
  auto& sent = Channel()->sent;
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].type, static_cast<uint32_t>(RMQ_CLIENT_RPC_RESPONSE));
  EXPECT_EQ(sent[0].typeId, "Resp");
  EXPECT_EQ(sent[0].correlationId, std::optional<std::string>("corr-1"));
  EXPECT_EQ(sent[0].routingKey, "aph-1");
  EXPECT_EQ(sent[0].contentType, "application/protobuf");
  EXPECT_EQ(sent[0].payload, std::string("pay\0load", 8));
  EXPECT_EQ(sent[1].type, static_cast<uint32_t>(RMQ_ZLM_PAYLOAD));
  EXPECT_FALSE(sent[1].correlationId.has_value());
  EXPECT_EQ(sent[1].routingKey, "");
  Channel()->result = -3;
  EXPECT_FALSE(client_->SendMsgToMpaWrapper("p", "T", "", ""));
  EXPECT_TRUE(log_.HasTag("MPA10067"));
}

TEST_F(AggSvcMpaClientTest, MalformedRecordsFromOutsideAreRefused) {
  Ack();
  auto good = Headers("T", "c", "r");
  // Declared length beyond what the channel vouches for.
  std::vector<uint8_t> shortBuffer(good.begin(), good.end() - 3);
  Deliver(8, "a", shortBuffer);
  // An element whose string length runs past the document.
  std::vector<uint8_t> badElement = good;
  badElement[4 + 1 + sizeof("__TypeId__")] = 0x7f;
  Deliver(8, "b", badElement);
  // Too short to hold a document at all.
  Deliver(8, "c", std::vector<uint8_t>{1, 0});
  // A positive length without a payload.
  rmqClientMessage rec{};
  rec.messageType = 8;
  rec.appType = const_cast<char*>(kApp);
  rec.payloadLen = 100;
  AggSvcMpaClient::AggSvcMpaClientRxCallbackWrapper(&rec);
  Deliver(8, "ok", good);
  ASSERT_TRUE(agg_->WaitForRequests(1));
  auto requests = agg_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].payload, "ok");
  EXPECT_EQ(log_.Count("Malformed header block"), 3u);
  EXPECT_TRUE(log_.Contains("Invalid payload (length 100)"));
}

TEST_F(AggSvcMpaClientTest, UnknownTypesAndPublishesAreRefused) {
  Ack();
  Deliver(RMQ_ZLM_PAYLOAD, "p", Headers("T", "c", "r"));
  Deliver(99, "p", Headers("T", "c", "r"));
  Deliver(8, "sync", Headers("T", "c", "r"));
  ASSERT_TRUE(agg_->WaitForRequests(1));
  EXPECT_EQ(log_.TagCount("MPA10006"), 2u);
  EXPECT_EQ(agg_->Requests().size(), 1u);
}

TEST_F(AggSvcMpaClientTest, SmartNicMessagesGoStraightToTheAggregationClient) {
  auto headers = Headers("SnType", "sn-corr", "sn-reply");
  rmqClientMessage rec{};
  rec.messageType = 11;
  rec.appType = const_cast<char*>(kApp);
  rec.headers = headers.data();
  rec.headersLen = static_cast<uint32_t>(headers.size());
  AggSvcMpaClient::AggSvcSNMpaClientRxCallbackWrapper(&rec);
  ASSERT_EQ(agg_->snReplies.size(), 1u);
  EXPECT_EQ(agg_->snReplies[0], std::string(kApp) + "|SnType|sn-corr");
  EXPECT_EQ(client_->RxQueueSize(), 0u);
}

// Deliveries through the channel's registry (registry lock, then the map mutex, then the
// queue mutex) race with removals (map mutex, released, then the registry lock): the two
// never wait for each other in opposite orders, so this ends.
TEST(AggSvcMpaClientLockOrderTest, DeliveriesRaceWithRemovalsWithoutDeadlock) {
  MpaClient::ResetRegistryForTest();
  LogCapture log;
  auto agg = std::make_shared<RecordingAggServiceClient>("RaceApp");
  std::atomic<bool> done{false};
  std::thread deliverer([&] {
    std::string app = "RaceApp";
    while (!done) {
      auto* rec = static_cast<rmqClientMessage*>(std::calloc(1, sizeof(rmqClientMessage)));
      rec->messageType = 8;
      rec->appType = app.data();
      rec->buffer = rec;  // freed by the receive routine, or by the unknown-app path
      MpaClient::MpaRxCallback(rec);
    }
  });
  for (int i = 0; i < 200; ++i) {
    auto client = AggSvcMpaClient::RegisterVertical("RaceApp", nullptr, nullptr);
    ASSERT_NE(client, nullptr);
    client->SetAggServiceClient(agg);
    client->Close();
  }
  done = true;
  deliverer.join();
  EXPECT_EQ(AggSvcMpaClient::Find("RaceApp"), nullptr);
  MpaClient::ResetRegistryForTest();
}

// Two registrations of one name at once: exactly one makes a client (one sender, one
// receive thread); the other is refused as a repeated name.
TEST(AggSvcMpaClientRegistrationTest, RacingRegistrationsOfOneNameMakeOneClient) {
  MpaClient::ResetRegistryForTest();
  MpaClient::SetAggAppClientFactory([](const MpaClient::CreateArgs& a) { return std::make_shared<CapturingMpaClient>(a); });
  LogCapture log;
  for (int round = 0; round < 100; ++round) {
    std::shared_ptr<AggSvcMpaClient> made[2];
    std::atomic<int> ready{0};
    auto registerOne = [&](int i) {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      made[i] = AggSvcMpaClient::RegisterVertical("RaceApp", nullptr, nullptr);
    };
    std::thread other(registerOne, 1);
    registerOne(0);
    other.join();
    ASSERT_EQ((made[0] != nullptr) + (made[1] != nullptr), 1) << "round " << round;
    auto kept = made[0] ? made[0] : made[1];
    EXPECT_EQ(AggSvcMpaClient::Find("RaceApp"), kept);
    kept->Close();
  }
  MpaClient::ResetRegistryForTest();
  MpaClient::SetAggAppClientFactory(nullptr);
}

TEST(AggSvcMpaClientHeadersTest, CopiesStringAndLongElementsOnly) {
  bson_t* doc = BsonHeaders::New();
  BsonHeaders::AppendString(doc, "__TypeId__", "first");
  BsonHeaders::AppendInt64(doc, "n", 7);
  bson_append_double(doc, "d", 1, 2.5);
  BsonHeaders::AppendString(doc, "__TypeId__", "second");  // named twice: the first is read, both are copied
  auto raw = BsonHeaders::ToBytes(doc);
  BsonHeaders::Destroy(doc);
  rmqClientMessage rec{};
  rec.headers = raw.data();
  rec.headersLen = static_cast<uint32_t>(raw.size());
  bson_t* out = BsonHeaders::New();
  std::string typeId, corr, reply;
  ASSERT_TRUE(AggSvcMpaClient::GetAmqpHeaders(&rec, out, typeId, corr, reply, false));
  EXPECT_EQ(typeId, "first");
  int strings = 0, longs = 0, others = 0;
  BsonHeaders::ForEach(out, [&](const BsonHeaders::Element& e) {
    (e.type == BSON_TYPE_UTF8 ? strings : e.type == BSON_TYPE_INT64 ? longs : others)++;
  });
  EXPECT_EQ(strings, 2);
  EXPECT_EQ(longs, 1);
  EXPECT_EQ(others, 0);
  BsonHeaders::Destroy(out);
}

// A smart NIC's channel client that records what it is asked to send to the host.
class SnCapturingMpaClient : public MpaClient {
 public:
  using MpaClient::MpaClient;
  int32_t SendMsgViaSNProxy(rmqClientMessage* m, const std::string&) override {
    typeIds.push_back(BsonHeaders::FindString(static_cast<const bson_t*>(m->headers), "__TypeId__").value_or(""));
    return 0;
  }
  std::vector<std::string> typeIds;
};

// On a smart NIC no registration acknowledgement is awaited: the vertical's client counts as
// acknowledged from its construction, so an answer sent before any handshake goes out.
TEST(AggSvcMpaClientSmartNicTest, AcknowledgedFromConstructionSoAnEarlyAnswerGoesOut) {
  constexpr const char* kApp = "FabricStats";
  LogCapture log;
  MpaClient::ResetRegistryForTest();
  MpaClient::SetNodePersonaSource([] { return 2u; });
  MpaClient::StartMpaClientEventLoop("AggSvc", "tcp://127.0.0.1:1", "tcp://127.0.0.1:1");
  // Neither proxy is needed: the sends stop at the channel client.
  TnProxyClientCommon::ResetInstanceForTest();
  SNProxyClientCommon::ResetInstanceForTest();
  MpaClient::SetSNClientFactory([](const MpaClient::CreateArgs& a) { return std::make_shared<SnCapturingMpaClient>(a); });
  auto client = AggSvcMpaClient::RegisterVertical(kApp, nullptr, nullptr);
  ASSERT_NE(client, nullptr);
  auto sn = std::dynamic_pointer_cast<SnCapturingMpaClient>(MpaClient::GetSNClient(kApp));
  ASSERT_NE(sn, nullptr);
  EXPECT_EQ(MpaClient::GetClient(kApp), nullptr);  // no management-plane registration here
  EXPECT_TRUE(sn->IsRegistrationAcked());

  EXPECT_TRUE(client->SendMsgToMpaWrapper("answer", "Resp", "corr-1", ""));
  EXPECT_EQ(sn->typeIds, std::vector<std::string>{"Resp"});
  EXPECT_FALSE(log.HasTag("MPA10066"));

  client->Close();
  MpaClient::ResetRegistryForTest();
  MpaClient::SetSNClientFactory(nullptr);
  MpaClient::SetNodePersonaSource(nullptr);
}

}  // namespace
}  // namespace qbx
