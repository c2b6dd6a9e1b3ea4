// Endpoints (parsing, copies that outlive their source) and the status mapping: a lost
// transport must never read as a refusal of the request.
#include <gtest/gtest.h>

#include <grpcpp/support/status.h>

#include "platform/rpc/endpoint.h"
#include "platform/rpc/rpc_channel.h"
#include "platform/rpc/status.h"

namespace qbx {
namespace {

TEST(EndpointTest, ParsesTcpAndForwardedAndRefusesMalformed) {
  net::Endpoint tcp("tcp://127.0.0.1:2480");
  EXPECT_TRUE(tcp.is_tcp());
  EXPECT_EQ(tcp.host(), "127.0.0.1");
  EXPECT_EQ(tcp.port(), 2480);
  EXPECT_EQ(tcp.GrpcTarget(), "127.0.0.1:2480");
  net::Endpoint v6("tcp://[::1]:80");
  EXPECT_TRUE(v6.is_tcp());
  EXPECT_EQ(v6.GrpcTarget(), "[::1]:80");
  net::Endpoint fwd("qbx://4f1c-node");
  EXPECT_TRUE(fwd.is_forwarded());
  EXPECT_EQ(fwd.id(), "4f1c-node");
  EXPECT_EQ(fwd.GrpcTarget(), "");
  for (const char* bad : {"", "127.0.0.1:80", "tcp://host", "tcp://host:", "tcp://host:99999", "tcp://host:8x",
                          "udp://h:1", "tcp://:80", "qbx://"}) {
    EXPECT_FALSE(net::Endpoint(bad).valid()) << bad;
  }
}

TEST(EndpointTest, CopiesViewTheirOwnText) {
  net::Endpoint copy;
  {
    auto source = std::make_unique<net::Endpoint>(std::string("tcp://10.0.0.1:9004"));
    copy = *source;
    net::Endpoint constructed(*source);
    source.reset();  // the source's text is gone
    EXPECT_EQ(constructed.host(), "10.0.0.1");
    EXPECT_GE(constructed.host().data(), constructed.uri().data());
    EXPECT_LE(constructed.host().data() + constructed.host().size(),
              constructed.uri().data() + constructed.uri().size());
  }
  EXPECT_EQ(copy.scheme(), "tcp");
  EXPECT_EQ(copy.host(), "10.0.0.1");
  EXPECT_EQ(copy.port_text(), "9004");
  EXPECT_EQ(copy.port(), 9004);
  copy = copy;  // self-assignment keeps it intact
  EXPECT_EQ(copy.host(), "10.0.0.1");
}

TEST(StatusMappingTest, TransportOutcomesMapToUnavailableAndTrailersTravelUnchanged) {
  using grpc::StatusCode;
  for (auto code : {StatusCode::UNAVAILABLE, StatusCode::UNKNOWN, StatusCode::CANCELLED,
                    StatusCode::DEADLINE_EXCEEDED, StatusCode::INTERNAL, StatusCode::INVALID_ARGUMENT,
                    StatusCode::NOT_FOUND, StatusCode::ALREADY_EXISTS, StatusCode::UNIMPLEMENTED}) {
    auto s = rpc::Status::FromGrpc(grpc::Status(code, "x"), nullptr);
    EXPECT_EQ(s.code(), rpc::StatusCode::kUnavailable) << static_cast<int>(code);
  }
  EXPECT_EQ(rpc::Status::FromGrpc(grpc::Status::OK, nullptr).code(), 0u);
  const std::string five = "5", twelve = "12", junk = "5x", empty;
  EXPECT_EQ(rpc::Status::FromGrpc(grpc::Status(StatusCode::ABORTED, "refused"), &five).code(), 5u);
  EXPECT_EQ(rpc::Status::FromGrpc(grpc::Status::OK, &twelve).code(), 12u);
  EXPECT_EQ(rpc::Status::FromGrpc(grpc::Status(StatusCode::ABORTED, ""), &junk).code(), rpc::StatusCode::kUnavailable);
  EXPECT_EQ(rpc::Status::FromGrpc(grpc::Status(StatusCode::ABORTED, ""), &empty).code(),
            rpc::StatusCode::kUnavailable);
  EXPECT_EQ(rpc::Status(5, "no").ToString(), "code 5 (no)");
  EXPECT_EQ(rpc::Status().ToString(), "OK");
}

TEST(HealthWireTest, EncodesTheServiceAndReadsOnlyServing) {
  const std::string req = rpc::health::EncodeRequest("zumbra.qbx.nodedb.NodeDb");
  ASSERT_EQ(req.size(), 2 + std::string("zumbra.qbx.nodedb.NodeDb").size());
  EXPECT_EQ(req[0], '\x0a');
  EXPECT_EQ(static_cast<size_t>(req[1]), req.size() - 2);
  EXPECT_TRUE(rpc::health::DecodeServing(std::string("\x08\x01", 2)));
  EXPECT_FALSE(rpc::health::DecodeServing(std::string("\x08\x02", 2)));  // NOT_SERVING
  EXPECT_FALSE(rpc::health::DecodeServing(""));
  EXPECT_FALSE(rpc::health::DecodeServing(std::string("\x08", 1)));      // truncated varint
  EXPECT_FALSE(rpc::health::DecodeServing(std::string("\x12\x7f", 2)));  // length beyond the end
  EXPECT_TRUE(rpc::health::DecodeServing(std::string("\x12\x01z\x08\x01", 5)));  // unknown field skipped
}

}  // namespace
}  // namespace qbx
