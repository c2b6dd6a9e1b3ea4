// Component test of the incoming road over real gRPC on loopback: a request to the served
// host aggregation service reaches a test vertical through the channel client, the
// queue-based client and its dequeue thread, and the vertical's answer completes the same
// call. Refusals (unknown application, duplicate correlation id, unconvertible request)
// are answered at once; calls left open for more than 300 s are answered ABORTED.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <grpcpp/grpcpp.h>

#include "channels/mpa/agg_svc_host_service.h"
#include "channels/mpa/agg_svc_type_id_table.h"
#include "channels/queue/agg_svc_mpa_client.h"
#include "channels/transport/bson_headers.h"
#include "core/uuid.h"
#include "platform/rpc/endpoint.h"
#include "platform/rpc/server_builder.h"
#include "platform/rpc/status.h"
#include "platform/runtime/manual_clock.h"
#include "tests/channels/fakes/mpa_fakes.h"
#include "tests/channels/mpa/message_catalogue.h"
#include "tests/channels/proxy/tnproxy_test_util.h"

namespace qbx {
namespace {

using testing::RecordingAggServiceClient;
using testing::TestRpcMpaClient;
using zumbra::qbx::agg_service::messaging::AggSvcHostUnifiedMsg;
using zumbra::qbx::agg_service::messaging::AggSvcMpUnifiedMsg;
using zumbra::qbx::messaging::GenericUnifiedMsg;
namespace gen = zumbra::qbx::agg_service::messaging;

constexpr const char* kApp = "FabricStats";
constexpr const char* kAph = "6a1f4c2e-0b7d-4e59-9d3a-2f8e1c7b5a90";
constexpr const char* kRequestTypeId = "com.zumbra.qbx.management.agg.messaging.ClientDataRequestMsg";
constexpr const char* kReplyTypeId = "zumbra.qbx.agg_service.SoftwareStatusMsg";

struct CallResult {
  uint32_t code = 0;  // the RPC layer's code from the trailer
  GenericUnifiedMsg reply;
};

class HostServiceComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MpaClient::ResetRegistryForTest();
    AggSvcHostService::ResetForTest();
    clock_ = std::make_shared<ManualClock>();
    MpaClient::SetAggAppClientFactory([clock = clock_](const MpaClient::CreateArgs& args) {
      return std::make_shared<TestRpcMpaClient>(args, clock);
    });
    agg_ = std::make_shared<RecordingAggServiceClient>(kApp);
    sender_ = AggSvcMpaClient::RegisterVertical(kApp, nullptr, nullptr);
    ASSERT_NE(sender_, nullptr);
    sender_->SetAggServiceClient(agg_);
    ASSERT_TRUE(sender_->Open());
    // The app-init handshake's success reaches the vertical as its acknowledgement.
    ASSERT_NE(Layer(), nullptr);
    Layer()->SendRegistrationAckToVertical(false);
    ASSERT_TRUE(agg_->WaitForVersionSets(1)) << log_.Dump();

    rpc::ServerBuilder builder;
    builder.AddListeningPort(net::Endpoint("tcp://127.0.0.1:0"));
    builder.RegisterService(AggSvcHostService::GetInstance().get(), gen::AggSvcHostService::service_full_name());
    builder.TrackOpenCalls(AggSvcHostService::GetInstance()->OpenCalls());  // as the daemon serves it
    server_ = builder.BuildStarted();
    ASSERT_NE(server_, nullptr);
    auto channel = grpc::CreateChannel("127.0.0.1:" + std::to_string(server_->port()), grpc::InsecureChannelCredentials());
    stub_ = gen::AggSvcHostService::NewStub(channel);
  }
  void TearDown() override {
    if (auto layer = Layer()) layer->PurgeCallHandleMap();  // no call may stay open at shutdown
    if (server_) server_->Shutdown();
    if (sender_) sender_->Close();
    sender_.reset();
    MpaClient::ResetRegistryForTest();
    MpaClient::SetAggAppClientFactory(nullptr);
    AggSvcHostService::ResetForTest();
  }

  std::shared_ptr<MpaClientAppSpecific> Layer() {
    auto client = std::dynamic_pointer_cast<TestRpcMpaClient>(MpaClient::GetClient(kApp));
    return client ? client->AppSpecific() : nullptr;
  }

  static GenericUnifiedMsg Request(const std::string& app, const std::optional<std::string>& correlationId,
                                   bool withRequest = true) {
    AggSvcHostUnifiedMsg host;
    host.set_app_name(app);
    host.set_obj_type(kRequestTypeId);
    if (withRequest) host.mutable_client_data_request();
    GenericUnifiedMsg envelope;
    envelope.set_payload(host.SerializeAsString());
    if (correlationId) envelope.mutable_ctrl_headers()->set_correlation_id(*correlationId);
    return envelope;
  }

  CallResult Call(const GenericUnifiedMsg& request) {
    grpc::ClientContext context;
    context.AddMetadata(rpc::kCallerMetadataKey, kAph);
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(60));  // a hang guard only
    return Finish(context, request);
  }
  CallResult Finish(grpc::ClientContext& context, const GenericUnifiedMsg& request) {
    CallResult result;
    grpc::Status status = stub_->RpcMsgHandler(&context, request, &result.reply);
    result.code = rpc::Status::FromGrpc(status, context).code();
    return result;
  }

  testing::LogCapture log_;  // outlives every thread the test starts
  std::shared_ptr<ManualClock> clock_;
  std::shared_ptr<RecordingAggServiceClient> agg_;
  std::shared_ptr<AggSvcMpaClient> sender_;
  std::unique_ptr<rpc::Server> server_;
  std::unique_ptr<gen::AggSvcHostService::Stub> stub_;
};

TEST_F(HostServiceComponentTest, RequestReachesTheVerticalAndItsAnswerCompletesTheCall) {
  agg_->onRequest = [this](const RecordingAggServiceClient::Request& r) {
    zumbra::qbx::agg_service::SoftwareStatusMsg status;
    EXPECT_TRUE(sender_->SendMsgToMpaWrapper(status.SerializeAsString(), kReplyTypeId, r.correlationId, r.replyTo));
    return 0;
  };
  const std::string id = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
  CallResult result = Call(Request(kApp, id));
  ASSERT_EQ(result.code, 0u);
  auto requests = agg_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].typeId, kRequestTypeId);
  EXPECT_EQ(requests[0].correlationId, id);
  EXPECT_EQ(requests[0].replyTo, kAph);
  AggSvcMpUnifiedMsg unified;
  ASSERT_TRUE(unified.ParseFromString(result.reply.payload()));
  EXPECT_EQ(unified.obj_type(), kReplyTypeId);
  EXPECT_EQ(unified.app_name(), kApp);
  EXPECT_TRUE(unified.has_software_status_msg());
  EXPECT_EQ(Layer()->OpenCallCount(), 0u);
}

TEST_F(HostServiceComponentTest, EveryTypeOfTheTableGoesBackToTheCallerInItsOwnField) {
  // Each row under each of its spellings: the vertical answers a pull with a message of that
  // type, and the caller finds it, as sent, in the row's field of the unified reply.
  for (const auto& row : AggSvcTypeIdTable::Rows()) {
    for (const auto& id : row.ids) {
      SCOPED_TRACE(id);
      auto body = testing::Sample(row.fullName, id);
      ASSERT_TRUE(body);
      const std::string bytes = body->SerializeAsString();
      agg_->onRequest = [this, id, bytes](const RecordingAggServiceClient::Request& r) {
        return sender_->SendMsgToMpaWrapper(bytes, id, r.correlationId, r.replyTo) ? 0 : -1;
      };
      CallResult result = Call(Request(kApp, UUID::Generate().ToString()));
      ASSERT_EQ(result.code, 0u);
      AggSvcMpUnifiedMsg unified;
      ASSERT_TRUE(unified.ParseFromString(result.reply.payload()));
      EXPECT_EQ(unified.obj_type(), id);
      const auto* field = AggSvcMpUnifiedMsg::descriptor()->FindFieldByNumber(row.field);
      ASSERT_NE(field, nullptr);
      ASSERT_TRUE(unified.GetReflection()->HasField(unified, field));
      EXPECT_EQ(unified.GetReflection()->GetMessage(unified, field).SerializeAsString(), bytes);
    }
  }
  EXPECT_EQ(Layer()->OpenCallCount(), 0u);
}

TEST_F(HostServiceComponentTest, RequestWithoutControlHeaderGetsAFreshCorrelationId) {
  agg_->onRequest = [this](const RecordingAggServiceClient::Request& r) {
    sender_->SendMsgToMpaWrapper("", kReplyTypeId, r.correlationId, r.replyTo);
    return 0;
  };
  CallResult result = Call(Request(kApp, std::nullopt));
  ASSERT_EQ(result.code, 0u);
  ASSERT_EQ(agg_->Requests().size(), 1u);
  EXPECT_EQ(agg_->Requests()[0].correlationId.size(), 36u);
}

TEST_F(HostServiceComponentTest, UnknownApplicationIsRefusedAtOnce) {
  CallResult result = Call(Request("NoSuchVertical", "c-1"));
  EXPECT_EQ(result.code, static_cast<uint32_t>(rpc::AppStatus::APPLICATION_ERROR));
  EXPECT_TRUE(agg_->Requests().empty());
}

TEST_F(HostServiceComponentTest, UnconvertibleRequestIsAnsweredWithAnApplicationError) {
  EXPECT_EQ(Call(Request(kApp, "c-1", false)).code, static_cast<uint32_t>(rpc::AppStatus::APPLICATION_ERROR));
  GenericUnifiedMsg garbage;
  garbage.set_payload(std::string("\xff\xff\xff", 3));
  EXPECT_EQ(Call(garbage).code, static_cast<uint32_t>(rpc::AppStatus::APPLICATION_ERROR));
  // A vertical answer that cannot be wrapped ends the call with an application error too.
  agg_->onRequest = [this](const RecordingAggServiceClient::Request& r) {
    sender_->SendMsgToMpaWrapper("x", "com.example.NotInTheTable", r.correlationId, r.replyTo);
    return 0;
  };
  EXPECT_EQ(Call(Request(kApp, "c-2")).code, static_cast<uint32_t>(rpc::AppStatus::APPLICATION_ERROR));
  EXPECT_EQ(Layer()->OpenCallCount(), 0u);
}

TEST_F(HostServiceComponentTest, AnAnswerMalformedInsideIsRefusedToTheVerticalAndTheCallerGetsAnError) {
  constexpr const char* kSummationReply = "com.zumbra.qbx.management.agg.messaging.SummationStatsResponseMsg";
  // Whole at the top level (field 2 with its length right); inside it a field claims five
  // bytes of two.
  const std::string malformed("\x12\x04\x0a\x05" "ab", 6);
  std::atomic<int> sent{0};
  agg_->onRequest = [&](const RecordingAggServiceClient::Request& r) {
    sent = sender_->SendMsgToMpaWrapper(malformed, kSummationReply, r.correlationId, r.replyTo) ? 1 : -1;
    return 0;
  };
  CallResult result = Call(Request(kApp, "bad-inside"));
  EXPECT_EQ(result.code, static_cast<uint32_t>(rpc::AppStatus::APPLICATION_ERROR));
  // The caller may hear of the refusal before the vertical's send has returned.
  EXPECT_TRUE(test::Eventually([&] { return sent.load() != 0; }));
  EXPECT_EQ(sent.load(), -1);
  EXPECT_EQ(Layer()->OpenCallCount(), 0u);
  // A whole answer of the same type still travels, byte for byte.
  zumbra::qbx::agg_service::messaging::SummationStatsResponseMsg whole;
  whole.set_seq_num(3);
  whole.mutable_stats()->add_target_type_stats()->set_target_type("rule");
  agg_->onRequest = [&](const RecordingAggServiceClient::Request& r) {
    sent = sender_->SendMsgToMpaWrapper(whole.SerializeAsString(), kSummationReply, r.correlationId, r.replyTo) ? 1 : -1;
    return 0;
  };
  sent = 0;
  result = Call(Request(kApp, "good-inside"));
  ASSERT_EQ(result.code, 0u);
  EXPECT_TRUE(test::Eventually([&] { return sent.load() != 0; }));
  EXPECT_EQ(sent.load(), 1);
  AggSvcMpUnifiedMsg unified;
  ASSERT_TRUE(unified.ParseFromString(result.reply.payload()));
  EXPECT_EQ(unified.messaging_summation_stats_response_msg().SerializeAsString(), whole.SerializeAsString());
}

TEST_F(HostServiceComponentTest, DuplicateInFlightCorrelationIdIsRefused) {
  std::promise<void> seen;
  agg_->onRequest = [&](const RecordingAggServiceClient::Request&) {
    seen.set_value();
    return 0;  // holds the call open: no answer yet
  };
  auto first = std::async(std::launch::async, [&] { return Call(Request(kApp, "dup")); });
  seen.get_future().wait();
  EXPECT_EQ(Call(Request(kApp, "dup")).code, static_cast<uint32_t>(rpc::AppStatus::APPLICATION_ERROR));
  EXPECT_EQ(agg_->Requests().size(), 1u);
  // The first call is undisturbed and completes with the vertical's answer.
  ASSERT_TRUE(sender_->SendMsgToMpaWrapper("", kReplyTypeId, "dup", kAph));
  EXPECT_EQ(first.get().code, 0u);
}

TEST_F(HostServiceComponentTest, CallsOpenForMoreThan300SecondsAreAnsweredAborted) {
  std::promise<void> seen;
  agg_->onRequest = [&](const RecordingAggServiceClient::Request&) {
    seen.set_value();
    return 0;
  };
  auto pending = std::async(std::launch::async, [&] { return Call(Request(kApp, "slow")); });
  seen.get_future().wait();
  clock_->Advance(std::chrono::seconds(300));
  Layer()->PurgeStaleCallHandles();
  EXPECT_EQ(Layer()->OpenCallCount(), 1u);  // exactly 300 s: still open
  clock_->Advance(std::chrono::seconds(1));
  Layer()->PurgeStaleCallHandles();
  EXPECT_EQ(pending.get().code, static_cast<uint32_t>(rpc::AppStatus::ABORTED));
  // A late answer finds no call.
  EXPECT_FALSE(sender_->SendMsgToMpaWrapper("", kReplyTypeId, "slow", kAph));
}

TEST_F(HostServiceComponentTest, PublishIsAlwaysAnsweredAndReachesTheVertical) {
  grpc::ClientContext context;
  context.AddMetadata(rpc::kCallerMetadataKey, kAph);
  zumbra::qbx::VoidMsg reply;
  ASSERT_TRUE(stub_->MsgHandler(&context, Request(kApp, std::nullopt), &reply).ok());
  grpc::ClientContext unknown;
  ASSERT_TRUE(stub_->MsgHandler(&unknown, Request("NoSuchVertical", std::nullopt), &reply).ok());
  ASSERT_TRUE(agg_->WaitForRequests(1));
  auto r = agg_->Requests()[0];
  EXPECT_EQ(r.correlationId, "");  // a publish carries neither correlation id nor reply-to
  EXPECT_EQ(r.replyTo, "");
}

}  // namespace
}  // namespace qbx

namespace qbx {
namespace {

// Ids: an empty one is taken as absent, an oversized one is refused.
TEST_F(HostServiceComponentTest, EmptyCorrelationIdGetsAFreshOneAndIsAnswered) {
  agg_->onRequest = [this](const RecordingAggServiceClient::Request& r) {
    EXPECT_TRUE(sender_->SendMsgToMpaWrapper("", kReplyTypeId, r.correlationId, r.replyTo));
    return 0;
  };
  CallResult result = Call(Request(kApp, std::string()));
  EXPECT_EQ(result.code, 0u);  // answered at once, not left to its deadline
  ASSERT_EQ(agg_->Requests().size(), 1u);
  EXPECT_EQ(agg_->Requests()[0].correlationId.size(), 36u);
  EXPECT_EQ(Layer()->OpenCallCount(), 0u);
}

TEST_F(HostServiceComponentTest, OversizedCorrelationIdIsRefusedAtOnce) {
  agg_->onRequest = [this](const RecordingAggServiceClient::Request& r) {
    sender_->SendMsgToMpaWrapper("", kReplyTypeId, r.correlationId, r.replyTo);
    return 0;
  };
  const size_t limit = MpaClientServiceBase::kMaxCorrelationIdLength;
  EXPECT_EQ(Call(Request(kApp, std::string(limit + 1, 'x'))).code,
            static_cast<uint32_t>(rpc::AppStatus::APPLICATION_ERROR));
  EXPECT_EQ(Call(Request(kApp, std::string(1 << 20, 'y'))).code,
            static_cast<uint32_t>(rpc::AppStatus::APPLICATION_ERROR));
  EXPECT_TRUE(agg_->Requests().empty());
  EXPECT_EQ(Layer()->OpenCallCount(), 0u);
  // The longest id allowed still travels.
  EXPECT_EQ(Call(Request(kApp, std::string(limit, 'z'))).code, 0u);
  ASSERT_EQ(agg_->Requests().size(), 1u);
  EXPECT_EQ(agg_->Requests()[0].correlationId, std::string(limit, 'z'));
}

TEST_F(HostServiceComponentTest, OversizedCorrelationIdOnThePublishRoadIsRefusedAtOnce) {
  auto publish = [this](const std::string& correlationId) {
    grpc::ClientContext context;
    context.AddMetadata(rpc::kCallerMetadataKey, kAph);
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(60));  // a hang guard only
    zumbra::qbx::VoidMsg reply;
    grpc::Status status = stub_->MsgHandler(&context, Request(kApp, correlationId), &reply);
    return rpc::Status::FromGrpc(status, context).code();
  };
  const size_t limit = MpaClientServiceBase::kMaxCorrelationIdLength;
  // The longest id allowed travels; the refused ones between two such never reach the
  // vertical, which takes publishes in their order.
  EXPECT_EQ(publish(std::string(limit, 'z')), 0u);
  ASSERT_TRUE(agg_->WaitForRequests(1));
  EXPECT_EQ(publish(std::string(limit + 1, 'x')), static_cast<uint32_t>(rpc::AppStatus::APPLICATION_ERROR));
  EXPECT_EQ(publish(std::string(1 << 20, 'y')), static_cast<uint32_t>(rpc::AppStatus::APPLICATION_ERROR));
  EXPECT_EQ(publish(std::string(limit, 'z')), 0u);
  ASSERT_TRUE(agg_->WaitForRequests(2));
  EXPECT_EQ(agg_->Requests().size(), 2u);
}

// An answer that cannot be sent (the channel went down meanwhile) ends its call with an
// error at once.
TEST_F(HostServiceComponentTest, AnAnswerThatCannotBeSentEndsItsCallAtOnce) {
  agg_->onRequest = [this](const RecordingAggServiceClient::Request& r) {
    auto mpa = MpaClient::GetClient(kApp);
    mpa->SetConnState(MpaClient::STATE_INIT);
    mpa->SetRegistrationAcked(false);
    EXPECT_FALSE(sender_->SendMsgToMpaWrapper("", kReplyTypeId, r.correlationId, r.replyTo));
    return 0;
  };
  EXPECT_EQ(Call(Request(kApp, "lost-1")).code, static_cast<uint32_t>(rpc::AppStatus::APPLICATION_ERROR));
  EXPECT_EQ(Layer()->OpenCallCount(), 0u);
  // Not ready: later requests are refused at once.
  EXPECT_EQ(Call(Request(kApp, "lost-2")).code, static_cast<uint32_t>(rpc::AppStatus::APPLICATION_ERROR));
  EXPECT_EQ(agg_->Requests().size(), 1u);
}

// The channel goes down (not ready, then its calls purged) while requests keep coming: every
// request is answered without any further purge, none waits for its deadline.
TEST_F(HostServiceComponentTest, RequestsRacingTheChannelGoingDownAreAllAnswered) {
  agg_->onRequest = [](const RecordingAggServiceClient::Request&) { return 0; };  // never answers
  struct Pending {
    grpc::ClientContext context;
    GenericUnifiedMsg request;
    GenericUnifiedMsg reply;
    std::promise<grpc::Status> done;
  };
  constexpr int kCalls = 300;
  std::vector<std::unique_ptr<Pending>> calls;
  for (int i = 0; i < kCalls; ++i) {
    auto p = std::make_unique<Pending>();
    p->context.AddMetadata(rpc::kCallerMetadataKey, kAph);
    p->context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(30));  // hang guard
    p->request = Request(kApp, "race-" + std::to_string(i));
    calls.push_back(std::move(p));
  }
  std::promise<void> halfway;
  std::thread goesDown([this, started = halfway.get_future()]() mutable {
    started.wait();
    // What the client does when its transport-node proxy connection drops.
    auto mpa = MpaClient::GetClient(kApp);
    mpa->SetConnState(MpaClient::STATE_INIT);
    mpa->SetRegistrationAcked(false);
    Layer()->PurgeCallHandleMap();
  });
  for (int i = 0; i < kCalls; ++i) {
    Pending* p = calls[i].get();
    stub_->async()->RpcMsgHandler(&p->context, &p->request, &p->reply,
                                  [p](grpc::Status status) { p->done.set_value(std::move(status)); });
    if (i == kCalls / 3) halfway.set_value();
  }
  goesDown.join();
  for (auto& p : calls) {
    auto done = p->done.get_future();
    ASSERT_EQ(done.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    const grpc::Status status = done.get();
    EXPECT_FALSE(status.ok());  // nobody answered: refused or aborted
    EXPECT_NE(status.error_code(), grpc::StatusCode::DEADLINE_EXCEEDED) << status.error_message();
  }
  EXPECT_EQ(Layer()->OpenCallCount(), 0u);
}

// gRPC's shutdown waits for every accepted call: the server ends the open ones first.
TEST_F(HostServiceComponentTest, ServerShutdownEndsTheCallsStillOpen) {
  std::promise<void> seen;
  agg_->onRequest = [&](const RecordingAggServiceClient::Request&) {
    seen.set_value();
    return 0;  // the vertical never answers
  };
  auto pending = std::async(std::launch::async, [&] { return Call(Request(kApp, "open-at-shutdown")); });
  seen.get_future().wait();
  ASSERT_EQ(Layer()->OpenCallCount(), 1u);
  server_->Shutdown();  // returns: the open call no longer holds it
  EXPECT_EQ(pending.get().code, static_cast<uint32_t>(rpc::AppStatus::ABORTED));
  // A late answer finds the call ended.
  EXPECT_FALSE(sender_->SendMsgToMpaWrapper("", kReplyTypeId, "open-at-shutdown", kAph));
  EXPECT_EQ(Layer()->OpenCallCount(), 0u);
}

}  // namespace
}  // namespace qbx

namespace qbx {
namespace {

// An open call whose completion may be read from another thread.
class AtomicCallHandle : public ServerCallHandle<GenericUnifiedMsg>, private ServerStreamWriter<GenericUnifiedMsg> {
 public:
  ServerStreamWriter<GenericUnifiedMsg>* writer() override { return this; }
  bool IsCompleted() const override { return ended > 0; }
  std::atomic<int> ended{0};
  std::atomic<uint32_t> status{0};

 private:
  bool Last(const GenericUnifiedMsg&) override { return End(rpc::AppStatus::OK); }
  bool Error(rpc::AppStatus s) override { return End(s); }
  bool End(rpc::AppStatus s) {
    if (ended++ > 0) return false;
    status = static_cast<uint32_t>(s);
    return true;
  }
};

// The receive side drops requests until the registration is acknowledged again; a dropped
// request's call is ended at once rather than left to the stale-call purge.
TEST_F(HostServiceComponentTest, ARequestTheReceiveSideDropsEndsItsCall) {
  boost::intrusive_ptr<AtomicCallHandle> call(new AtomicCallHandle());
  ASSERT_TRUE(Layer()->AddToCallHandleMap("dropped-1", call));
  MpaClient::GetClient(kApp)->SetRegistrationAcked(false);  // the channel closed meanwhile

  bson_t* doc = BsonHeaders::New();
  BsonHeaders::AppendString(doc, "__TypeId__", kRequestTypeId);
  BsonHeaders::AppendString(doc, "amqp_correlationId", "dropped-1");
  BsonHeaders::AppendString(doc, "amqp_replyTo", kAph);
  std::string app = kApp;
  std::string payload = "x";
  rmqClientMessage record{};
  record.messageType = 8;
  record.cookieId = -1;
  record.appType = app.data();
  record.headers = const_cast<uint8_t*>(bson_get_data(doc));
  record.headersLen = doc->len;
  record.payload = reinterpret_cast<uint8_t*>(payload.data());
  record.payloadLen = static_cast<int64_t>(payload.size());
  sender_->AggSvcMpaClientRxCallback(&record, false);
  BsonHeaders::Destroy(doc);

  const auto failsafe = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (call->ended == 0 && std::chrono::steady_clock::now() < failsafe) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(call->ended.load(), 1);
  EXPECT_EQ(call->status.load(), static_cast<uint32_t>(rpc::AppStatus::APPLICATION_ERROR));
  EXPECT_TRUE(agg_->Requests().empty());
  EXPECT_EQ(Layer()->OpenCallCount(), 0u);
}

// A request that found the application's layer just as its client let the layer go is
// refused at once: a released layer stores no call, so none waits where nobody answers.
TEST_F(HostServiceComponentTest, ARequestReachingAReleasedLayerIsRefusedAtOnce) {
  agg_->onRequest = [this](const RecordingAggServiceClient::Request& r) {
    sender_->SendMsgToMpaWrapper("", kReplyTypeId, r.correlationId, r.replyTo);
    return 0;
  };
  auto layer = Layer();
  // Released but still served: the service's look-up came before the release.
  layer->Release(rpc::AppStatus::APPLICATION_ERROR);
  CallResult result = Call(Request(kApp, "late-1"));
  EXPECT_EQ(result.code, static_cast<uint32_t>(rpc::AppStatus::APPLICATION_ERROR));
  EXPECT_TRUE(agg_->Requests().empty());
  EXPECT_EQ(layer->OpenCallCount(), 0u);
  EXPECT_TRUE(log_.Contains("corelationId (late-1), app released"));
}

// Taking a released layer out of the served applications leaves a newer registration of
// the same name in place.
TEST(HostServiceApplications, ALayerLeavesOnlyWhileItIsTheOneRegisteredUnderItsName) {
  AggSvcHostService::ResetForTest();
  AggSvcHostService::CreateInstance();
  auto service = AggSvcHostService::GetInstance();
  auto older = std::make_shared<MpaClientAppSpecific>(kApp, nullptr);
  auto newer = std::make_shared<MpaClientAppSpecific>(kApp, nullptr);
  AggSvcHostService::Register(older, kApp);
  AggSvcHostService::Register(newer, kApp);
  EXPECT_FALSE(AggSvcHostService::Unregister(older, kApp));
  EXPECT_EQ(service->GetAppInstance(kApp), newer);
  EXPECT_TRUE(AggSvcHostService::Unregister(newer, kApp));
  EXPECT_EQ(service->GetAppInstance(kApp), nullptr);
  EXPECT_FALSE(AggSvcHostService::Unregister(newer, kApp));
  AggSvcHostService::ResetForTest();
}

}  // namespace
}  // namespace qbx
