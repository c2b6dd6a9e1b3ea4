// The RPC layer over real gRPC against the stand-in database: stub creation with the
// per-service check, calls and streams delivered on the dispatcher, stream-down notices when
// the peer goes away, and status codes carried unchanged (or mapped to unavailable).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

#include "core/stub_creator.h"
#include "platform/rpc/asio_qbx_rpc_provider.h"
#include "platform/rpc/call.h"
#include "platform/rpc/connection_manager.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"
#include "tests/rpc/fakes/fake_rpc.h"
#include "tests/rpc/fakes/wait.h"
#include "tools/nodedb_standin/nodedb_standin.h"
#include "zumbra/qbx/daemon/daemon_health.grpc.pb.h"
#include "zumbra/qbx/nodedb/nodedb.grpc.pb.h"

namespace qbx {
namespace {

namespace pb = zumbra::qbx::nodedb;
using DataStub = rpc::Stub<pb::NodeDb>;
using OpsStub = rpc::Stub<pb::NodeDbOps>;
using HealthStub = rpc::Stub<zumbra::qbx::daemon::DaemonHealth>;
using testing::WaitUntil;

// Records what an observer saw, and on which thread.
template <class Response>
struct Recorder {
  std::mutex mutex;
  std::vector<Response> responses;
  std::optional<rpc::Status> status;
  std::thread::id thread;
  bool throw_in_next = false;
};

template <class Response>
class RecordingObserver : public rpc::CallObserver<Response> {
 public:
  explicit RecordingObserver(std::shared_ptr<Recorder<Response>> r) : r_(std::move(r)) {}
  void Next(const Response& response) override {
    std::lock_guard<std::mutex> lock(r_->mutex);
    r_->thread = std::this_thread::get_id();
    r_->responses.push_back(response);
    if (r_->throw_in_next) throw std::runtime_error("observer failure");
  }
  void CallStatus(const rpc::Status& status) override {
    {
      std::lock_guard<std::mutex> lock(r_->mutex);
      r_->status = status;
    }
    delete this;
  }

 private:
  std::shared_ptr<Recorder<Response>> r_;
};

class GrpcLayerTest : public ::testing::Test {
 protected:
  GrpcLayerTest() : clock_(std::make_shared<ManualClock>()), provider_(AsioQbxProvider::Options{}, "rpc-test", clock_) {
    EXPECT_TRUE(standin_.Start());
    provider_.RunAsync(1);
  }
  ~GrpcLayerTest() override { provider_.StopAndWait(); }

  template <class Stub>
  std::optional<Stub> MakeStub(rpc::StubCreationStatus* status_out = nullptr) {
    std::atomic<bool> done{false};
    std::optional<Stub> result;
    rpc::StubCreationStatus status = rpc::StubCreationStatus::kFailed;
    provider_.rpc().stub_factory().create<Stub>(
        "test", standin_.endpoint(), [&](const std::optional<Stub>& stub, rpc::StubCreationStatus s) {
          EXPECT_TRUE(provider_.dispatcher().IsLoopThread());
          result = stub;
          status = s;
          done = true;
        });
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
    if (status_out) *status_out = status;
    return result;
  }

  testing::LogCapture log_;
  tools::NodeDbStandin standin_;
  std::shared_ptr<ManualClock> clock_;
  AsioQbxProvider provider_;
};

TEST_F(GrpcLayerTest, UnaryCallIsDeliveredOnTheLoopAndKeepsItsOrder) {
  auto stub = MakeStub<HealthStub>();
  ASSERT_TRUE(stub.has_value());
  auto rec = std::make_shared<Recorder<zumbra::qbx::daemon::EchoMsg>>();
  zumbra::qbx::daemon::EchoMsg msg;
  msg.set_text("ping");
  rpc::client::AsyncCall<zumbra::qbx::daemon::EchoMsg, zumbra::qbx::daemon::EchoMsg>(
      stub->channel(), "Echo", rpc::ClientContext("t"), msg,
      new RecordingObserver<zumbra::qbx::daemon::EchoMsg>(rec));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(rec->mutex);
    return rec->status.has_value();
  }));
  std::lock_guard<std::mutex> lock(rec->mutex);
  EXPECT_TRUE(rec->status->ok());
  ASSERT_EQ(rec->responses.size(), 1u);
  EXPECT_EQ(rec->responses[0].text(), "ping");
  EXPECT_NE(rec->thread, std::this_thread::get_id());
}

TEST_F(GrpcLayerTest, RefusedServiceFailsItsStubWhileTheConnectionServesOthers) {
  standin_.SetServing("zumbra.qbx.nodedb.NodeDbOps", false);
  rpc::StubCreationStatus status;
  EXPECT_FALSE(MakeStub<OpsStub>(&status).has_value());
  EXPECT_EQ(status, rpc::StubCreationStatus::kFailed);
  EXPECT_TRUE(MakeStub<DataStub>().has_value());
  standin_.SetServing("zumbra.qbx.nodedb.NodeDbOps", true);
  EXPECT_TRUE(MakeStub<OpsStub>().has_value());
}

TEST_F(GrpcLayerTest, StreamEndsWithTheServersCodeAndObserverExceptionsAreContained) {
  auto stub = MakeStub<DataStub>();
  ASSERT_TRUE(stub.has_value());
  standin_.Put(1, pb::FIREWALL_CONFIG, "k1", "v1");
  pb::MonitorRequestMsg request;
  request.set_monitor_request_id("m1");
  request.set_vdb_id(1);
  request.add_statement()->mutable_object()->set_object_type(pb::FIREWALL_CONFIG);
  auto rec = std::make_shared<Recorder<pb::MonitorResponseMsg>>();
  auto handle = rpc::client::AsyncCall<pb::MonitorRequestMsg, pb::MonitorResponseMsg>(
      stub->channel(), "Monitor", rpc::ClientContext("t"), request, new RecordingObserver<pb::MonitorResponseMsg>(rec));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(rec->mutex);
    return !rec->responses.empty();
  }));
  {
    std::lock_guard<std::mutex> lock(rec->mutex);
    ASSERT_EQ(rec->responses[0].update_size(), 1);
    EXPECT_EQ(rec->responses[0].update(0).object().key(), "k1");
    EXPECT_TRUE(rec->responses[0].barrier().flag());
  }
  EXPECT_EQ(handle->status().code(), rpc::StatusCode::kPending);
  standin_.EndMonitorStreams(rpc::StatusCode::kSessionReset);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(rec->mutex);
    return rec->status.has_value();
  }));
  EXPECT_EQ(rec->status->code(), rpc::StatusCode::kSessionReset);

  // An observer that throws: logged, the call is ended, CallStatus still comes once.
  auto bad = std::make_shared<Recorder<pb::MonitorResponseMsg>>();
  bad->throw_in_next = true;
  rpc::client::AsyncCall<pb::MonitorRequestMsg, pb::MonitorResponseMsg>(
      stub->channel(), "Monitor", rpc::ClientContext("t"), request, new RecordingObserver<pb::MonitorResponseMsg>(bad));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(bad->mutex);
    return bad->status.has_value();
  }));
  EXPECT_TRUE(log_.Contains("Exception occurred in Observer::Next for /zumbra.qbx.nodedb.NodeDb/Monitor: observer failure"));
  EXPECT_EQ(bad->status->code(), rpc::StatusCode::kUnavailable);
}

TEST_F(GrpcLayerTest, PeerLossEndsCallsAsUnavailableAndSignalsStreamDown) {
  auto stub = MakeStub<DataStub>();
  ASSERT_TRUE(stub.has_value());
  std::atomic<int> downs{0};
  stub->SetOnStreamDown([&](rpc::CloseReason reason) {
    EXPECT_EQ(reason, rpc::CloseReason::kConnectionLost);
    ++downs;
  });
  // A held modification is in flight when the peer goes away: the loss must not read as a
  // refusal of the request.
  standin_.HoldNextModify();
  auto rec = std::make_shared<Recorder<pb::ModifyResponseMsg>>();
  std::vector<pb::ModifyRequestMsg> batch(2);
  batch[0].add_modify()->mutable_put()->mutable_object()->set_key("a");
  batch[1].add_modify()->mutable_put()->mutable_object()->set_key("b");
  rpc::client::AsyncBatchCall<pb::ModifyRequestMsg, pb::ModifyResponseMsg>(
      stub->channel(), "Modify", rpc::ClientContext("t"), batch, new RecordingObserver<pb::ModifyResponseMsg>(rec));
  ASSERT_TRUE(WaitUntil([&] { return standin_.held_modifies() == 1; }));
  standin_.Stop();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(rec->mutex);
    return rec->status.has_value();
  }));
  EXPECT_EQ(rec->status->code(), rpc::StatusCode::kUnavailable);
  ASSERT_TRUE(WaitUntil([&] { return downs.load() == 1; }));
  EXPECT_FALSE(stub->channel()->IsOpen());

  // A call over the closed channel ends at once, posted, as unavailable.
  auto late = std::make_shared<Recorder<pb::ModifyResponseMsg>>();
  rpc::client::AsyncBatchCall<pb::ModifyRequestMsg, pb::ModifyResponseMsg>(
      stub->channel(), "Modify", rpc::ClientContext("t"), batch, new RecordingObserver<pb::ModifyResponseMsg>(late));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(late->mutex);
    return late->status.has_value();
  }));
  EXPECT_EQ(late->status->code(), rpc::StatusCode::kUnavailable);

  // The peer comes back on the same port: a new stub works again.
  ASSERT_TRUE(standin_.Start());
  EXPECT_TRUE(MakeStub<DataStub>().has_value());
}

TEST_F(GrpcLayerTest, RefusedModificationCarriesTheServersCode) {
  auto stub = MakeStub<DataStub>();
  ASSERT_TRUE(stub.has_value());
  standin_.FailNextModify(5);
  auto rec = std::make_shared<Recorder<pb::ModifyResponseMsg>>();
  std::vector<pb::ModifyRequestMsg> batch(1);
  rpc::client::AsyncBatchCall<pb::ModifyRequestMsg, pb::ModifyResponseMsg>(
      stub->channel(), "Modify", rpc::ClientContext("t"), batch, new RecordingObserver<pb::ModifyResponseMsg>(rec));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(rec->mutex);
    return rec->status.has_value();
  }));
  EXPECT_EQ(rec->status->code(), 5u);
}

TEST_F(GrpcLayerTest, NoPeerFailsTheStubAfterTheConnectTimeout) {
  standin_.Stop();
  rpc::StubCreationStatus status;
  EXPECT_FALSE(MakeStub<DataStub>(&status).has_value());
  EXPECT_EQ(status, rpc::StubCreationStatus::kFailed);
}

TEST_F(GrpcLayerTest, SlowObserverPausesReadingInsteadOfQueueingWithoutBound) {
  auto stub = MakeStub<DataStub>();
  ASSERT_TRUE(stub.has_value());
  // More responses than the engine buffers, while the loop is blocked.
  const int kRows = static_cast<int>(rpc::detail::CallCore::kMaxBacklog) * 3;
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  // Opens the gate however the test ends, so that the loop can stop.
  struct Opener {
    std::promise<void>& p;
    bool open = false;
    void Open() {
      if (!open) p.set_value();
      open = true;
    }
    ~Opener() { Open(); }
  } opener{release};
  provider_.dispatcher().Post([gate] { gate.wait(); });
  pb::MonitorRequestMsg request;
  request.set_monitor_request_id("m2");
  request.add_statement()->mutable_object()->set_object_type(pb::LOGICAL_PORT);
  auto rec = std::make_shared<Recorder<pb::MonitorResponseMsg>>();
  rpc::client::AsyncCall<pb::MonitorRequestMsg, pb::MonitorResponseMsg>(
      stub->channel(), "Monitor", rpc::ClientContext("t"), request, new RecordingObserver<pb::MonitorResponseMsg>(rec));
  ASSERT_TRUE(WaitUntil([&] { return standin_.active_monitors() == 1; }));
  for (int i = 0; i < kRows; ++i) standin_.Put(1, pb::LOGICAL_PORT, "p" + std::to_string(i), "v");
  opener.Open();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(rec->mutex);
    return rec->responses.size() >= static_cast<size_t>(kRows) + 1;
  }));
  std::lock_guard<std::mutex> lock(rec->mutex);
  for (int i = 0; i < kRows; ++i) {
    ASSERT_EQ(rec->responses[i + 1].update(0).object().key(), "p" + std::to_string(i)) << "order kept";
  }
}

}  // namespace
}  // namespace qbx

namespace qbx {
namespace {

TEST_F(GrpcLayerTest, KeptConnectionReportsUpAndClosedAndReconnects) {
  std::mutex m;
  std::vector<std::string> events;
  auto record = [&](const std::string& e) {
    std::lock_guard<std::mutex> lock(m);
    events.push_back(e);
  };
  auto count = [&](const std::string& e) {
    std::lock_guard<std::mutex> lock(m);
    return std::count(events.begin(), events.end(), e);
  };
  struct Stopper {
    AsioQbxProvider& p;
    ~Stopper() { p.StopAndWait(); }
  } stop{provider_};
  rpc::ConnectionParams params;
  params.reconnect_policy = rpc::ReconnectPolicy(rpc::ReconnectPolicy::ReconnectBehavior::kReconnect,
                                                 RetryPolicy(std::chrono::milliseconds(1000)));
  params.connected_callback = [&](const rpc::ConnectionInfo&) { record("up"); };
  params.closed_callback = [&](const net::Endpoint&, rpc::CloseReason reason) {
    EXPECT_EQ(reason, rpc::CloseReason::kConnectionLost);
    record("closed");
  };
  rpc::ConnectionManager manager(provider_.rpc());
  const net::Endpoint endpoint(standin_.endpoint());
  EXPECT_TRUE(manager.RequestConnection(endpoint, params));
  EXPECT_FALSE(manager.RequestConnection(endpoint, params));
  ASSERT_TRUE(WaitUntil([&] { return count("up") == 1; }));
  standin_.Stop();
  ASSERT_TRUE(WaitUntil([&] { return count("closed") == 1; }));
  ASSERT_TRUE(standin_.Start());
  ASSERT_TRUE(WaitUntil([&] { return count("up") == 2; }, clock_));
  EXPECT_EQ(manager.TearDownConnection(endpoint), 0);
  EXPECT_EQ(manager.TearDownConnection(endpoint), 1);
  standin_.Stop();
  clock_->Advance(std::chrono::milliseconds(5000));
  EXPECT_EQ(count("closed"), 1) << "a torn-down keeper reports nothing";
}

}  // namespace
}  // namespace qbx
