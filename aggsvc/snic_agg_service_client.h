// The aggregation-service client of a vertical that is also collected from smart NICs.
//
// The manager builds it instead of a plain AggServiceClient for every vertical whose entry
// list holds a kind-1 (SNIC_ADAPTER) entry. On a host with smart NICs (persona 1) it fans
// every request out to the smart NICs through the remote collector before the vertical's
// own callback runs, and its smart-NIC adapters (snic_vertical_adapter.h) merge the smart
// NICs' answers into the host's. On every other persona it answers as a plain client; on a
// smart NIC (persona 2) it answers its host's requests, and its smart-NIC registrations
// are refused with -1011.
//
// Threading model: as AggServiceClient. CallExtraAdapter and the merges run on the thread
// that handles the request (or the status source's poller) and block it for at most the
// collector's wait time. HandleSnReply runs on the messaging client's thread that delivers
// smart-NIC traffic. The datapath-restart observer runs on the notifying thread and only
// starts a reset thread. `collector` is not owned; it outlives every client.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/remote_collector.h"

namespace zumbra::qbx::agg_service::messaging {
class GenericRuntimeStatusRequestMsg;
}

namespace AggSvcSnic {

// The smart-NIC callbacks of a pull registration; either may be empty.
template <class Msg>
struct SnicPullCallbacks {
  // Merges the host's messages (source 0) with the smart NICs' (source 1).
  AggServiceClient::StatusMerge<Msg> merge;
  // The smart NICs that serve one target; false when the target cannot be mapped.
  AggServiceClient::RemoteTargetMapper targets;
};

// The smart-NIC callbacks of a generic runtime-status registration: either the first pair
// (generic-status style) or the second (runtime-status style, with health metrics).
struct MultiCollectorCallbacks {
  AggServiceClient::GenericStatusDiff genericStatusDiff;
  AggServiceClient::GenericStatusMerge genericStatusMerge;
  AggServiceClient::RuntimeStatusDiff runtimeStatusDiff;
  AggServiceClient::RuntimeStatusMerge runtimeStatusMerge;
};

class SnicAggServiceClient : public AggServiceClient {
 public:
  template <class Msg>
  class SnicVerticalAdapter;

  SnicAggServiceClient(std::shared_ptr<Vertical> vertical, std::shared_ptr<qbx::StatusSource::StatusSource> statusSource,
                       std::shared_ptr<qbx::AggSvc::ShaClientWrapper> shaClientWrapper, RemoteCollector* collector,
                       Deps deps = {});
  ~SnicAggServiceClient() override;

  void HandleSnReply(rmqClientMessage* msg, const std::string& appName, const std::string& typeId,
                     const std::string& correlationId) override;
  void SetMPVersion(uint32_t major, uint32_t minor) override;
  void InitExternalAdapters() override;
  void CallExtraAdapter(const char* payload, int32_t length, const MsgMetadata& metadata) override;
  Adapter* MakeSummationStatsAdapter() override;
  Adapter* MakeOverwriteStatsAdapter() override;
  Adapter* MakeOnDemandStatsAdapter() override;

  // Registrations (defined in snic_vertical_adapter.h): 0, -1005 (type taken), -1006 (no
  // kind-1 entry for the type, or inconsistent callbacks) or -1011 (on a smart NIC).
  template <class Msg>
  int RegisterSnicPullHandler(const PullHandler<Msg>& handler, const SnicPullCallbacks<Msg>& callbacks);
  template <class Msg>
  int RegisterSnicGenericPullHandler(const GenericStatusGetter& getter, const MultiCollectorCallbacks& callbacks);

  // Asks every smart NIC for its generic runtime status of the request's type and waits
  // for the answers (persona 1 only).
  void RequestRemoteGenericStatus(const zumbra::qbx::agg_service::messaging::GenericRuntimeStatusRequestMsg& request);
  // Adds the statistics that the smart NICs returned to this thread's last request of the
  // app into the stores of `factory` (persona 1 only).
  void MergeStatsWithRemote(const std::string& appName, const std::shared_ptr<qbx::IStatsStoreFactory>& factory);
  // Clears the summation statistics when the datapath of one of the host's smart NICs
  // restarted: the host's totals include that smart NIC's counters, which start again.
  void OnSmartNicDatapathRestart(const std::string& snUuid);

  RemoteCollector* GetRemoteCollector() const { return collector; }

 private:
  RemoteCollector* collector;
  std::mutex observerMutex;
  uint64_t restartObserverId = 0;  // guarded by observerMutex; 0 when not subscribed
};

}  // namespace AggSvcSnic
