// Our channels' keepalive against a peer with gRPC's stock ping policy. A stock server takes
// one ping per interval on a connection whose calls are idle, and none on a connection without
// calls; the third ping that comes too soon ends the connection with GOAWAY "too_many_pings".
// The peer's interval is shortened here (its only change from the stock policy) and our
// keepalive durations are scaled with it, so a few seconds show what minutes would.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <grpcpp/generic/async_generic_service.h>
#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/grpcpp.h>
#include <grpcpp/health_check_service_interface.h>

#include "platform/rpc/asio_qbx_rpc_provider.h"
#include "platform/rpc/connection.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "tests/rpc/fakes/wait.h"

namespace qbx {
namespace {

using std::chrono::milliseconds;

// The shortened stock interval of the peer; our durations keep their ratio to the real one.
constexpr milliseconds kPeerInterval{1500};

milliseconds Scaled(milliseconds ours) {
  return milliseconds(ours.count() * kPeerInterval.count() / rpc::TransportOptions::kPeerMinPingInterval.count());
}

class StockPeer {
 public:
  StockPeer() {
    grpc::EnableDefaultHealthCheckService(true);
    grpc::ServerBuilder builder;
    builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port_);
    // Some service must be served for the server to run; unknown methods are refused.
    builder.RegisterCallbackGenericService(&generic_);
    builder.AddChannelArgument(GRPC_ARG_HTTP2_MIN_RECV_PING_INTERVAL_WITHOUT_DATA_MS,
                               static_cast<int>(kPeerInterval.count()));
    server_ = builder.BuildAndStart();
  }
  ~StockPeer() {
    if (server_) server_->Shutdown(std::chrono::system_clock::now());
  }
  std::string endpoint() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
  bool ok() const { return server_ && port_ > 0; }

 private:
  int port_ = 0;
  grpc::CallbackGenericService generic_;
  std::unique_ptr<grpc::Server> server_;
};

// A streaming call that stays open without data after its first answer: the health watch.
class IdleWatch {
 public:
  explicit IdleWatch(const std::shared_ptr<grpc::Channel>& channel) : stub_(channel) {
    call_ = stub_.PrepareCall(&context_, "/grpc.health.v1.Health/Watch", &cq_);
    call_->StartCall(Tag(1));
    if (!Await()) return;
    grpc::Slice empty;
    grpc::ByteBuffer request(&empty, 1);
    call_->WriteLast(request, grpc::WriteOptions(), Tag(2));
    if (!Await()) return;
    call_->Read(&first_, Tag(3));
    if (!Await()) return;
    // The status arrived; this read stays pending while the stream idles.
    call_->Read(&next_, Tag(5));
    pending_ = 1;
    open_ = true;
  }
  ~IdleWatch() {
    context_.TryCancel();
    void* tag = nullptr;
    bool ok = false;
    while (pending_ > 0 && cq_.Next(&tag, &ok)) --pending_;
    call_->Finish(&status_, Tag(6));
    cq_.Next(&tag, &ok);
    cq_.Shutdown();
    while (cq_.Next(&tag, &ok)) {
    }
  }
  bool open() const { return open_; }

 private:
  // Waits for the one operation in flight.
  bool Await() {
    void* tag = nullptr;
    bool ok = false;
    pending_ = 1;
    if (!cq_.Next(&tag, &ok)) return false;
    pending_ = 0;
    return ok;
  }

  static void* Tag(intptr_t n) { return reinterpret_cast<void*>(n); }
  grpc::GenericStub stub_;
  grpc::ClientContext context_;
  grpc::CompletionQueue cq_;
  std::unique_ptr<grpc::GenericClientAsyncReaderWriter> call_;
  grpc::ByteBuffer first_;
  grpc::ByteBuffer next_;
  grpc::Status status_;
  bool open_ = false;
  int pending_ = 0;
};

struct Client {
  explicit Client(const rpc::TransportOptions& options) {
    rpc::AsioQbxRpcProvider::Install(provider, options);
    provider.RunAsync(1);
  }
  ~Client() { provider.StopAndWait(); }

  std::shared_ptr<rpc::Connection> Connect(const std::string& endpoint) {
    std::atomic<bool> done{false};
    std::shared_ptr<rpc::Connection> result;
    provider.rpc().transport().GetConnection(
        net::Endpoint(endpoint), [&](const boost::system::error_code& ec, const std::shared_ptr<rpc::Connection>& c) {
          if (!ec) result = c;
          done = true;
        });
    testing::WaitUntil([&] { return done.load(); });
    return result;
  }
  AsioQbxProvider provider{AsioQbxProvider::Options{}, "keepalive"};
};

// The connection holds an idle stream for `periods` of the peer's interval; true when it
// stayed up all that time.
bool StaysUp(const rpc::TransportOptions& options, int periods) {
  // One peer for the whole program: gRPC 1.51 does not like callback servers coming and
  // going many times in one process, and each check makes connections of its own anyway.
  static auto* shared = new StockPeer();
  StockPeer& peer = *shared;
  if (!peer.ok()) {
    ADD_FAILURE() << "the peer did not start";
    return false;
  }
  // Two clients, two connections: one holds an idle call, the other none.
  Client a(options);
  Client b(options);
  auto withCall = a.Connect(peer.endpoint());
  auto withoutCall = b.Connect(peer.endpoint());
  if (!withCall || !withoutCall) {
    ADD_FAILURE() << "no connection";
    return false;
  }
  IdleWatch watch(withCall->grpc_channel());
  if (!watch.open()) {
    ADD_FAILURE() << "the idle stream did not open";
    return false;
  }
  std::atomic<bool> closed{false};
  withCall->AddCloseListener([&closed](rpc::CloseReason) { closed = true; });
  const auto until = std::chrono::steady_clock::now() + kPeerInterval * periods;
  while (!closed && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(milliseconds(20));
  return !closed && withoutCall->IsOpen();
}

TEST(KeepalivePolicyTest, OurPingsFitAStockPeerOnIdleStreams) {
  rpc::TransportOptions options;
  options.keepalive_time = Scaled(options.keepalive_time);
  options.keepalive_timeout = std::max(Scaled(options.keepalive_timeout), milliseconds(1000));
  // Five of our pings go to the peer while the stream idles; a third strike would end it.
  EXPECT_TRUE(StaysUp(options, 6));
}

TEST(KeepalivePolicyTest, PingsFasterThanTheStockPolicyAreCutOff) {
  // The check itself: pings three times as often as the peer takes them end the connection.
  rpc::TransportOptions options;
  options.keepalive_time = kPeerInterval / 3;
  options.keepalive_timeout = milliseconds(1000);
  EXPECT_FALSE(StaysUp(options, 6));
}

}  // namespace
}  // namespace qbx
