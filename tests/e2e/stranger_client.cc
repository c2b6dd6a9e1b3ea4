// qbx-e2e-stranger: a local process that tries to call the daemon's inbound services
// directly, past the proxy. Usage:
//   qbx-e2e-stranger host TARGET APP CALLER SEQ ACK   a summation pull, CALLER in the metadata
//   qbx-e2e-stranger ip-reputation TARGET             one address lookup
// TARGET is a gRPC target ("unix:/PATH"). Prints "stranger: <kind>: ok" or
// "stranger: <kind>: refused (code N): TEXT" and exits 0 either way; 2 on bad usage.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <grpcpp/grpcpp.h>

#include "tools/standin_common/standin_grpc.h"
#include "tools/tnproxy_standin/tnproxy_standin.h"
#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.grpc.pb.h"
#include "zumbra/qbx/dfw/ip_reputation.grpc.pb.h"

namespace {

void Report(const char* kind, const grpc::Status& status) {
  if (status.ok()) {
    std::printf("stranger: %s: ok (uid %u)\n", kind, static_cast<unsigned>(::getuid()));
  } else {
    std::printf("stranger: %s: refused (code %d): %s (uid %u)\n", kind, static_cast<int>(status.error_code()),
                status.error_message().c_str(), static_cast<unsigned>(::getuid()));
  }
  std::fflush(stdout);
}

std::chrono::system_clock::time_point Deadline() { return std::chrono::system_clock::now() + std::chrono::seconds(5); }

}  // namespace

int main(int argc, char* argv[]) {
  const std::string kind = argc > 1 ? argv[1] : "";
  if (kind == "host" && argc == 7) {
    qbx::tools::TnProxyStandin::Pull pull;
    pull.kind = qbx::tools::TnProxyStandin::PullKind::kSummation;
    pull.seq = std::strtoull(argv[5], nullptr, 10);
    pull.ack = std::strtoull(argv[6], nullptr, 10);
    zumbra::qbx::messaging::GenericUnifiedMsg envelope;
    qbx::tools::TnProxyStandin::BuildPull(argv[3], pull).SerializeToString(envelope.mutable_payload());
    envelope.mutable_ctrl_headers()->set_correlation_id("5a1e0000-0000-4000-8000-00000000000" + std::to_string(getpid() % 10));
    auto stub = zumbra::qbx::agg_service::messaging::AggSvcHostService::NewStub(
        grpc::CreateChannel(argv[2], grpc::InsecureChannelCredentials()));
    grpc::ClientContext context;
    context.AddMetadata(qbx::tools::kCallerKey, argv[4]);
    context.set_deadline(Deadline());
    zumbra::qbx::messaging::GenericUnifiedMsg reply;
    Report("host", stub->RpcMsgHandler(&context, envelope, &reply));
    return 0;
  }
  if (kind == "ip-reputation" && argc == 3) {
    auto stub = zumbra::qbx::dfw::IpReputationDataService::NewStub(
        grpc::CreateChannel(argv[2], grpc::InsecureChannelCredentials()));
    zumbra::qbx::dfw::IpReputationRequest request;
    request.add_ip_address("127.0.0.1");
    zumbra::qbx::dfw::IpReputationResponse response;
    grpc::ClientContext context;
    context.set_deadline(Deadline());
    Report("ip-reputation", stub->GetIpReputation(&context, request, &response));
    return 0;
  }
  std::fprintf(stderr, "usage: qbx-e2e-stranger host TARGET APP CALLER SEQ ACK | ip-reputation TARGET\n");
  return 2;
}
