// Inbound forwarding: a process serves its ids behind the node's forwarding peer. The peer
// must learn the served address and every id, also when the ids come before the server or
// the forwarding endpoint, and again after the connection to it was lost and made anew.
#include <gtest/gtest.h>
#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <thread>
#include <set>
#include <string>
#include <vector>

#include "platform/rpc/asio_qbx_rpc_provider.h"
#include "platform/rpc/server_builder.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "tests/rpc/fakes/wait.h"
#include "zumbra/qbx/rpc/forwarding.grpc.pb.h"

namespace qbx {
namespace {

namespace pb = zumbra::qbx::rpc;
using testing::WaitUntil;

// The forwarding peer's registry: records every registration it receives.
class Registry : public pb::ForwardingRegistryService::CallbackService {
 public:
  grpc::ServerUnaryReactor* RegisterLocalEndpoints(grpc::CallbackServerContext* context,
                                                   const pb::LocalEndpointsMsg* request,
                                                   pb::LocalEndpointsAckMsg*) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::vector<std::string> ids(request->ids().begin(), request->ids().end());
      seen_.push_back({request->address(), std::set<std::string>(ids.begin(), ids.end())});
    }
    auto* reactor = context->DefaultReactor();
    reactor->Finish(grpc::Status::OK);
    return reactor;
  }
  struct Seen {
    std::string address;
    std::set<std::string> ids;
  };
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  size_t count() { return seen().size(); }

 private:
  std::mutex mutex_;
  std::vector<Seen> seen_;
};

// The forwarding peer: a registry on a fixed loopback port that can go away and come back.
class Peer {
 public:
  int Start(int port = 0) {
    grpc::ServerBuilder builder;
    int bound = 0;
    builder.AddListeningPort("127.0.0.1:" + std::to_string(port), grpc::InsecureServerCredentials(), &bound);
    builder.RegisterService(&registry);
    server_ = builder.BuildAndStart();
    port_ = server_ ? bound : -1;
    return port_;
  }
  void Stop() {
    if (server_) server_->Shutdown(std::chrono::system_clock::now());
    server_.reset();
  }
  ~Peer() { Stop(); }
  std::string uri() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
  Registry registry;

 private:
  std::unique_ptr<grpc::Server> server_;
  int port_ = -1;
};

class ForwardingRegistrationTest : public ::testing::Test {
 protected:
  ForwardingRegistrationTest() : provider_(AsioQbxProvider::Options{}, "fwd-test") { provider_.RunAsync(1); }
  ~ForwardingRegistrationTest() override {
    if (server_) server_->Shutdown();
    provider_.StopAndWait();
  }
  rpc::TransportInterface& transport() { return provider_.rpc().transport(); }
  // Serves a service of its own through the provider's builder; returns the address.
  std::string Serve() {
    auto builder = provider_.rpc().server_builder();
    builder.RegisterService<pb::ForwardingRegistryService>(&served_);
    server_ = builder.BuildStarted();
    EXPECT_NE(server_, nullptr);
    return server_ ? "tcp://127.0.0.1:" + std::to_string(server_->port()) : "";
  }
  // True once the peer's latest registration names `address` and exactly `ids`.
  static bool LatestIs(Registry& r, const std::string& address, const std::set<std::string>& ids) {
    auto seen = r.seen();
    return !seen.empty() && seen.back().address == address && seen.back().ids == ids;
  }

  AsioQbxProvider provider_;
  Registry served_;
  std::unique_ptr<rpc::Server> server_;
};

TEST_F(ForwardingRegistrationTest, IdsAddressAndPeerInAnyOrderGiveOneCompleteRegistration) {
  Peer peer;
  ASSERT_GT(peer.Start(), 0);
  // The ids come first, then the served address; nothing can be told before both exist.
  transport().AddLocalEndpointIds({"AggSvc-Routing"});
  const std::string address = Serve();
  ASSERT_FALSE(address.empty());
  EXPECT_EQ(address.rfind("tcp://127.0.0.1:", 0), 0u) << "served on loopback";
  // No forwarding endpoint yet: nowhere to register.
  EXPECT_EQ(peer.registry.count(), 0u);
  transport().SetForwardingEndpoint(peer.uri());
  ASSERT_TRUE(WaitUntil([&] { return LatestIs(peer.registry, address, {"AggSvc-Routing"}); }));

  // A further id is registered together with the ones before it; a known id changes nothing.
  transport().AddLocalEndpointIds({"AggSvc-L2-Switching", ""});
  ASSERT_TRUE(WaitUntil(
      [&] { return LatestIs(peer.registry, address, {"AggSvc-Routing", "AggSvc-L2-Switching"}); }));
  const size_t before = peer.registry.count();
  transport().AddLocalEndpointIds({"AggSvc-Routing"});
  transport().SetLocalAddress(address);
  transport().SetForwardingEndpoint(peer.uri());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(peer.registry.count(), before) << "repeating known facts sends nothing";
}

TEST_F(ForwardingRegistrationTest, ANewConnectionToThePeerRegistersAgain) {
  Peer peer;
  const int port = peer.Start();
  ASSERT_GT(port, 0);
  transport().SetForwardingEndpoint(peer.uri());
  transport().AddLocalEndpointIds({"AggSvc"});
  const std::string address = Serve();
  ASSERT_TRUE(WaitUntil([&] { return LatestIs(peer.registry, address, {"AggSvc"}); }));

  // Hold a connection to the peer, as the forwarding keeper does.
  auto hold = [&] {
    std::promise<bool> got;
    transport().GetConnection(net::Endpoint(peer.uri()),
                              [&got](const boost::system::error_code& ec, const std::shared_ptr<rpc::Connection>& c) {
                                got.set_value(!ec && c != nullptr);
                              });
    return got.get_future().get();
  };
  ASSERT_TRUE(hold());

  // The peer restarts and has forgotten everything; the next connection tells it again.
  peer.Stop();
  Peer again;
  ASSERT_EQ(again.Start(port), port);
  ASSERT_TRUE(WaitUntil([&] { return hold() && LatestIs(again.registry, address, {"AggSvc"}); }));
}

TEST_F(ForwardingRegistrationTest, AnUnreachablePeerIsNotFatalAndAForwardedCallStillFailsCleanly) {
  // A port where nobody listens: the registration fails within the connect time-out and is
  // only logged; the transport stays usable.
  Peer gone;
  const int port = gone.Start();
  ASSERT_GT(port, 0);
  gone.Stop();
  transport().SetForwardingEndpoint("tcp://127.0.0.1:" + std::to_string(port));
  transport().AddLocalEndpointIds({"AggSvc"});
  ASSERT_FALSE(Serve().empty());
  std::promise<boost::system::error_code> result;
  transport().GetConnection(net::Endpoint("qbx://some-aph"),
                            [&result](const boost::system::error_code& ec, const std::shared_ptr<rpc::Connection>&) {
                              result.set_value(ec);
                            });
  auto future = result.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_TRUE(future.get()) << "no connection to a peer that is not there";
  EXPECT_FALSE(transport().IsShutdown());
}

}  // namespace
}  // namespace qbx
