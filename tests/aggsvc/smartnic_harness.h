// A smart-NIC client of a vertical on a host with two smart NICs ("sn-a" at "ip-a", "sn-b"
// at "ip-b"), with its remote collector on a hand-moved clock, and helpers that build the
// requests and the smart NICs' answers.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "aggsvc/snic_vertical_adapter.h"
#include "tests/aggsvc/fakes/smartnic_fakes.h"
#include "tests/aggsvc/fakes/test_vertical.h"
#include "zumbra/qbx/agg_service/agg_service_status.pb.h"
#include "zumbra/qbx/agg_service/l2/l2_status.pb.h"
#include "zumbra/qbx/agg_service/messaging/runtime_status_request.pb.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace qbx::test {

namespace snmsg = zumbra::qbx::agg_service::messaging;

inline constexpr const char* kSnSummationResponse = "com.zumbra.qbx.management.agg.messaging.SummationStatsResponseMsg";
inline constexpr const char* kSnGrsResponse = "zumbra.qbx.agg_service.messaging.GenericRuntimeStatusResponseMsg";

// A summation answer with one key/value target "t1" of type "rule".
inline SnReply SummationReply(const SnRequest& request, const std::vector<std::pair<std::string, double>>& counters) {
  snmsg::SummationStatsResponseMsg response;
  auto* type = response.mutable_stats()->add_target_type_stats();
  type->set_target_type("rule");
  auto* target = type->add_target_stats();
  target->mutable_target_id()->set_string_id("t1");
  for (const auto& counter : counters) {
    auto* value = target->add_counters();
    value->set_key(counter.first);
    value->set_value(counter.second);
  }
  return SnReply{kSnSummationResponse, request.correlationId, response.SerializeAsString()};
}

// A runtime-status answer whose status carries one entry `entry`.
inline SnReply StatusReply(const SnRequest& request, const std::string& entry) {
  snmsg::GenericRuntimeStatusRequestMsg asked;
  asked.ParseFromString(request.body);
  GenericRuntimeStatusUpdateMsg status;
  status.set_msg_type(asked.target_type());
  status.add_status(entry);
  snmsg::GenericRuntimeStatusResponseMsg response;
  response.set_target_type(asked.target_type());
  response.set_status_obtained(true);
  response.set_status(status.SerializeAsString());
  return SnReply{kSnGrsResponse, request.correlationId, response.SerializeAsString()};
}

struct SnicHostHarness {
  explicit SnicHostHarness(int persona = 1, bool skipFirstValue = true)
      : clock(std::make_shared<ManualWaitClock>()),
        collector(std::make_unique<RemoteCollector>(
            clock, RemoteCollector::Topology{[] { return std::vector<std::string>{"ip-a", "ip-b"}; },
                                             [](const std::string& ip) {
                                               return ip == "ip-a" ? std::string("sn-a") : std::string("sn-b");
                                             }})),
        vertical(std::make_shared<TestVertical>("SnicVertical", skipFirstValue)),
        nics(std::make_shared<FakeSmartNics>()),
        registrar(std::make_shared<FakeMpaVerticalRegistrar>(nics)) {
    collector->Start();
    vertical->AddAdapterEntry(SNIC_ADAPTER, zumbra::qbx::agg_service::TunnelsSummaryMsg::default_instance().GetTypeName());
    vertical->AddAdapterEntry(SNIC_ADAPTER, zumbra::qbx::agg_service::l2::MacTableMsg::default_instance().GetTypeName());
    AggServiceClient::Deps deps{registrar, [persona] { return persona; }};
    client = std::make_shared<AggSvcSnic::SnicAggServiceClient>(vertical, statusSource, sha, collector.get(), deps);
    nics->SetClient(client);
  }
  ~SnicHostHarness() {
    if (client) client->StopAggServiceClient();
  }
  int Open() {
    int rc = client->SetupAggServiceClient(nullptr, nullptr);
    return rc == 0 ? client->OpenAggServiceClient() : rc;
  }
  int Request(const char* typeId, const std::string& payload, const std::string& corr) {
    return client->ProcessReceivedMessage(payload.data(), static_cast<int32_t>(payload.size()),
                                          MsgMetadata(typeId, corr, "reply-q"));
  }
  int Summation(uint64_t seq, uint64_t ack) {
    snmsg::PullSummationStatsRequestMsg request;
    request.set_seq_num(seq);
    request.set_last_ack(ack);
    return Request(AggServiceClient::kSummationRequestTypeId, request.SerializeAsString(), "sum-" + std::to_string(seq));
  }
  // The n-th answer to the management plane (waits for it).
  SentMessage Answer(size_t n) {
    nics->WaitForSent(n + 1);
    return nics->Sent()[n];
  }

  std::shared_ptr<ManualWaitClock> clock;
  std::unique_ptr<RemoteCollector> collector;  // outlives the client
  std::shared_ptr<TestVertical> vertical;
  std::shared_ptr<FakeStatusSource> statusSource = std::make_shared<FakeStatusSource>();
  std::shared_ptr<FakeShaClientWrapper> sha = std::make_shared<FakeShaClientWrapper>();
  std::shared_ptr<FakeSmartNics> nics;
  std::shared_ptr<FakeMpaVerticalRegistrar> registrar;
  std::shared_ptr<AggSvcSnic::SnicAggServiceClient> client;
};

}  // namespace qbx::test
