// Stub creation over fake transport, channels, timers and dispatcher: the result arrives
// exactly once, always through the dispatcher, on success, failure, retries exhausted and
// time-out, and a channel that becomes active too late is closed.
#include <gtest/gtest.h>

#include "core/stub_creator.h"
#include "core/weak_callback.h"
#include "tests/rpc/fakes/fake_rpc.h"
#include "zumbra/qbx/nodedb/nodedb.grpc.pb.h"

namespace qbx {
namespace {

using testing::FakeChannelFactory;
using testing::FakeTimers;
using testing::FakeTransport;
using testing::LogCapture;
using testing::QueueDispatcher;
using DataStub = rpc::Stub<zumbra::qbx::nodedb::NodeDb>;

struct Result {
  int calls = 0;
  std::optional<DataStub> stub;
  rpc::StubCreationStatus status = rpc::StubCreationStatus::kFailed;
};

class StubCreatorTest : public ::testing::Test {
 protected:
  StubCreatorTest()
      : dispatcher_(std::make_shared<QueueDispatcher>()),
        transport_(dispatcher_),
        channels_(dispatcher_),
        factory_(transport_, channels_, dispatcher_, timers_) {}

  rpc::StubFactory::ResultCallback<DataStub> Callback() {
    return [this](const std::optional<DataStub>& stub, rpc::StubCreationStatus status) {
      ++result_.calls;
      result_.stub = stub;
      result_.status = status;
    };
  }
  void Create(const RetryPolicy& retry, std::chrono::milliseconds timeout) {
    factory_.create<DataStub>("nodedb-client", "tcp://127.0.0.1:2480", rpc::ClientContext(), Callback(), retry,
                              rpc::RpcChannelOptions{1, 0, 0}, timeout);
  }

  LogCapture log_;
  std::shared_ptr<QueueDispatcher> dispatcher_;
  FakeTimers timers_;
  FakeTransport transport_;
  FakeChannelFactory channels_;
  rpc::StubFactory factory_;
  Result result_;
};

TEST_F(StubCreatorTest, SuccessIsPostedOnceAndTheStubOwnsTheChannel) {
  factory_.create<DataStub>("nodedb-client", "tcp://127.0.0.1:2480", Callback());
  ASSERT_EQ(transport_.endpoints.size(), 1u);
  EXPECT_TRUE(log_.Contains("Stub creation timeout is infinite"));
  EXPECT_TRUE(timers_.entries.empty());
  transport_.Answer();
  dispatcher_->RunAll();  // the connection answer
  ASSERT_EQ(channels_.channels.size(), 1u);
  EXPECT_EQ(channels_.services[0], "zumbra.qbx.nodedb.NodeDb");
  std::weak_ptr<rpc::RpcChannel> weak_channel = channels_.channels[0];
  channels_.channels[0]->Answer();
  EXPECT_EQ(result_.calls, 0) << "the result must come through the dispatcher";
  channels_.channels.clear();
  dispatcher_->RunAll();
  EXPECT_EQ(result_.calls, 1);
  EXPECT_EQ(result_.status, rpc::StubCreationStatus::kCreated);
  ASSERT_TRUE(result_.stub.has_value());
  EXPECT_EQ(result_.stub->client_name(), "nodedb-client");
  EXPECT_EQ(result_.stub->endpoint(), "tcp://127.0.0.1:2480");
  EXPECT_TRUE(log_.Contains("RpcStubCreator[NodeDb, tcp://127.0.0.1:2480, nodedb-client] Successfully created stub"));
  // The stub is now the only owner of the channel.
  EXPECT_EQ(weak_channel.use_count(), 1);
  result_.stub.reset();
  EXPECT_TRUE(weak_channel.expired());
}

TEST_F(StubCreatorTest, NoRetryMakesOneRequestAndFailsWithoutTimeout) {
  Create(rpc::StubFactory::NoRetry(), std::chrono::milliseconds(0));
  transport_.Answer(ECONNREFUSED);
  dispatcher_->RunAll();
  EXPECT_EQ(transport_.endpoints.size(), 1u);
  EXPECT_EQ(result_.calls, 1);
  EXPECT_EQ(result_.status, rpc::StubCreationStatus::kFailed);
  EXPECT_FALSE(result_.stub.has_value());
  EXPECT_TRUE(log_.Contains("Maximum number of attempts reached"));
  EXPECT_TRUE(log_.Contains("Failed to create stub in time"));
}

TEST_F(StubCreatorTest, RetriesFollowThePolicyAndExhaustionIsReportedOnce) {
  Create(RetryPolicy(std::chrono::milliseconds(10), std::chrono::milliseconds(40), 2.0, 2),
         std::chrono::milliseconds(-1));
  transport_.Answer(ECONNREFUSED);
  dispatcher_->RunAll();
  ASSERT_EQ(timers_.entries.size(), 1u);
  EXPECT_EQ(timers_.entries[0].delay, std::chrono::milliseconds(10));
  EXPECT_EQ(transport_.endpoints.size(), 1u) << "no request before the retry delay";
  timers_.Fire(0);
  transport_.Answer(ECONNREFUSED);
  dispatcher_->RunAll();
  ASSERT_EQ(timers_.entries.size(), 2u);
  EXPECT_EQ(timers_.entries[1].delay, std::chrono::milliseconds(20));
  timers_.Fire(1);
  transport_.Answer(ECONNREFUSED);
  dispatcher_->RunAll();
  EXPECT_EQ(transport_.endpoints.size(), 3u);
  EXPECT_EQ(result_.calls, 1);
  EXPECT_EQ(result_.status, rpc::StubCreationStatus::kFailed);
}

TEST_F(StubCreatorTest, RefusedServiceAndRejectedWindowCountAsFailedAnswers) {
  Create(RetryPolicy(std::chrono::milliseconds(5), std::chrono::milliseconds(5), 1.0, 1),
         std::chrono::milliseconds(-1));
  transport_.Answer();
  dispatcher_->RunAll();
  channels_.channels[0]->Answer(EOPNOTSUPP);  // the peer does not serve the service
  dispatcher_->RunAll();
  EXPECT_TRUE(log_.Contains("Got channel callback with status 95-"));
  ASSERT_EQ(timers_.entries.size(), 1u);
  timers_.Fire(0);
  transport_.Answer();
  transport_.connections.back()->Close(rpc::CloseReason::kConnectionLost);  // gone before the channel
  dispatcher_->RunAll();
  EXPECT_EQ(result_.calls, 1);
  EXPECT_EQ(result_.status, rpc::StubCreationStatus::kFailed);
}

TEST_F(StubCreatorTest, TimeoutWithPendingRetryReportsOnceAndClosesTheLateChannel) {
  Create(RetryPolicy(std::chrono::milliseconds(100), std::chrono::milliseconds(100), 1.0, 5),
         std::chrono::milliseconds(50));
  ASSERT_EQ(timers_.entries.size(), 1u);  // the time-out
  EXPECT_TRUE(log_.Contains("Scheduling stub creation timeout of 50 ms"));
  transport_.Answer(ECONNREFUSED);
  dispatcher_->RunAll();
  ASSERT_EQ(timers_.entries.size(), 2u);  // the retry
  timers_.Fire(0);                        // time-out first
  dispatcher_->RunAll();
  EXPECT_EQ(result_.calls, 1);
  EXPECT_EQ(result_.status, rpc::StubCreationStatus::kFailed);
  timers_.Fire(1);  // the retry still requests a channel
  transport_.Answer();
  dispatcher_->RunAll();
  ASSERT_EQ(channels_.channels.size(), 1u);
  auto late = channels_.channels[0];
  late->Answer();
  dispatcher_->RunAll();
  EXPECT_EQ(result_.calls, 1) << "the callback must not run twice";
  EXPECT_TRUE(log_.Contains("Ignoring channel callback - already timed out"));
  EXPECT_TRUE(log_.Contains("Close Channel - Active handler invoked after stub timeout"));
  ASSERT_EQ(late->closed_with.size(), 1u);
  EXPECT_EQ(late->closed_with[0], rpc::CloseReason::kStubTimeout);
}

TEST_F(StubCreatorTest, TimeoutAfterSuccessOrAfterDestructionOnlyLogs) {
  Create(rpc::StubFactory::NoRetry(), std::chrono::milliseconds(30));
  transport_.Answer();
  dispatcher_->RunAll();
  channels_.channels[0]->Answer();
  dispatcher_->RunAll();
  ASSERT_EQ(result_.calls, 1);
  channels_.channels.clear();
  timers_.Fire(0);  // the creator is gone by now: nothing holds it
  dispatcher_->RunAll();
  EXPECT_EQ(result_.calls, 1);
  EXPECT_TRUE(log_.Contains("Ignoring timeout callback - already destroyed"));
}

TEST_F(StubCreatorTest, TimeoutAfterSuccessWhileTheCreatorLivesIsAlreadyDone) {
  // A failed first answer leaves a retry timer; its function still holds the creator after
  // the retry has brought the channel, so the creator outlives its success.
  Create(RetryPolicy(std::chrono::milliseconds(10), std::chrono::milliseconds(10), 1.0, 3),
         std::chrono::milliseconds(100));
  transport_.Answer(ECONNREFUSED);
  dispatcher_->RunAll();
  ASSERT_EQ(timers_.entries.size(), 2u);  // the time-out, then the retry
  timers_.Fire(1);
  transport_.Answer();
  dispatcher_->RunAll();
  channels_.channels[0]->Answer();
  dispatcher_->RunAll();
  ASSERT_EQ(result_.calls, 1);
  EXPECT_EQ(result_.status, rpc::StubCreationStatus::kCreated);
  timers_.Fire(0);
  dispatcher_->RunAll();
  EXPECT_TRUE(log_.Contains("Ignoring timeout callback - already done"));
  EXPECT_FALSE(log_.Contains("Ignoring timeout callback - already destroyed"));
  EXPECT_EQ(result_.calls, 1);
  EXPECT_TRUE(result_.stub.has_value()) << "the time-out leaves the delivered stub alone";
  EXPECT_TRUE(channels_.channels[0]->closed_with.empty());
}

TEST_F(StubCreatorTest, FailedAnswerAfterTheTimeoutSchedulesNoRetry) {
  Create(RetryPolicy(std::chrono::milliseconds(10), std::chrono::milliseconds(10), 1.0, 5),
         std::chrono::milliseconds(50));
  ASSERT_EQ(timers_.entries.size(), 1u);
  timers_.Fire(0);  // the time-out, with the first request still outstanding
  dispatcher_->RunAll();
  ASSERT_EQ(result_.calls, 1);
  EXPECT_EQ(result_.status, rpc::StubCreationStatus::kFailed);
  transport_.Answer(ECONNREFUSED);
  dispatcher_->RunAll();
  EXPECT_TRUE(log_.Contains("Ignoring channel callback - already timed out"));
  EXPECT_FALSE(log_.Contains("Scheduling channel request in"));
  EXPECT_EQ(timers_.entries.size(), 1u) << "no retry timer";
  EXPECT_EQ(transport_.endpoints.size(), 1u);
  EXPECT_EQ(result_.calls, 1);
}

TEST_F(StubCreatorTest, ShutDownTransportEndsTheCreationAtTheNextFailure) {
  Create(RetryPolicy(std::chrono::milliseconds(5), std::chrono::milliseconds(5), 1.0, 10),
         std::chrono::milliseconds(-1));
  transport_.shutdown = true;
  transport_.Answer(ECONNREFUSED);
  dispatcher_->RunAll();
  EXPECT_EQ(result_.calls, 1);
  EXPECT_TRUE(log_.Contains("Transport is shutdown. Not scheduling channel request."));
  EXPECT_TRUE(timers_.entries.empty());
}

TEST_F(StubCreatorTest, CallbackMayCreateAgainFromTheDispatcher) {
  // A caller that retries from its callback re-enters the factory; nothing holds a lock then.
  int created = 0;
  std::function<void(const std::optional<DataStub>&, rpc::StubCreationStatus)> again;
  again = [&](const std::optional<DataStub>&, rpc::StubCreationStatus status) {
    if (status == rpc::StubCreationStatus::kFailed && ++created < 3) {
      factory_.create<DataStub>("c", "tcp://127.0.0.1:2480", again);
    }
  };
  factory_.create<DataStub>("c", "tcp://127.0.0.1:2480", again);
  for (int i = 0; i < 3; ++i) {
    transport_.Answer(ECONNREFUSED);
    dispatcher_->RunAll();
  }
  EXPECT_EQ(created, 3);
  EXPECT_EQ(transport_.endpoints.size(), 3u);
}

// ---------------------------------------------------------------- weak callbacks

struct Owner {
  int calls = 0;
};

TEST(WeakCallbackTest, DoesNothingOnceTheOwnerIsGoneAndKeepsItAliveDuringTheCall) {
  auto owner = std::make_shared<Owner>();
  std::weak_ptr<Owner> weak = owner;
  WeakCallback1<Owner, int> cb(weak, [&](int v) {
    owner.reset();  // the owner's last outside reference goes during the call
    EXPECT_FALSE(weak.expired()) << "the call must hold the owner";
    EXPECT_EQ(v, 7);
  });
  cb(7);
  EXPECT_TRUE(weak.expired());
  int after = 0;
  WeakCallback2<Owner, int, int> gone(weak, [&](int, int) { ++after; });
  gone(1, 2);
  WeakCallback0<Owner> gone0(weak, [&] { ++after; });
  gone0();
  EXPECT_EQ(after, 0);
}

}  // namespace
}  // namespace qbx
