#include "daemon/listen_retry.h"

#include "base/process_exit.h"
#include "platform/rpc/server_builder.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/listen_retry.h"
#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.grpc.pb.h"
#include "zumbra/qbx/dfw/ip_reputation.grpc.pb.h"

namespace qbx {

rpc::SocketPreparation ProbeInboundSockets(const std::string& directory) {
  for (const char* service : {zumbra::qbx::agg_service::messaging::AggSvcHostService::service_full_name(),
                              zumbra::qbx::dfw::IpReputationDataService::service_full_name()}) {
    rpc::SocketPreparation found =
        rpc::ServerBuilder::PrepareLocalSocket(rpc::ServerBuilder::LocalSocketPath(directory, service));
    if (!found.ready()) return found;
  }
  return {};
}

void KeepInboundServicesListening(AsioQbxProvider& provider) {
  rpc::ListenRetrySettings settings;
  settings.provider = &provider;
  settings.schedule = ListenRetry::kSchedule;
  // The give-up record is made; the socket files of the services that do listen go with the
  // process.
  settings.giveUp = [](const std::string&) { ExitProcess(kCannotListenExitStatus); };
  rpc::ServerBuilder::SetListenRetry(settings);
}

void KeepInboundServicesListening() {
  // Never destroyed: the process ends with _Exit while its servers may still retry.
  static auto* provider = new AsioQbxProvider(AsioQbxProvider::Options{}, "listen-retry");
  provider->RunAsync(1);
  KeepInboundServicesListening(*provider);
}

}  // namespace qbx
