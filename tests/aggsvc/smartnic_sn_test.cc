// On a smart NIC (persona 2) the daemon answers its host: the host's requests arrive on the
// smart-NIC road and are processed like the management plane's, and the smart-NIC
// registrations are refused so the vertical serves its own data in plain form. The loop
// test runs a host and a smart NIC in one process, the smart NIC's answers travelling back
// to the host's collector on the smart NIC's dispatcher thread.
//
// A smart NIC switches a process-wide mode on for good, so each case runs in a child
// process and reports through its exit status.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/aggsvc/smartnic_harness.h"
#include "tests/aggsvc/stats/stats_response_reader.h"

namespace qbx::test {
namespace {

namespace l2 = zumbra::qbx::agg_service::l2;

// Sends the smart NIC's answers to the host, as its channel would: each answer becomes a
// reply record delivered to the host's client.
class LoopbackSender : public FakeMpaMessageSender {
 public:
  bool SendMsgToMpaWrapper(const std::string& payload, const std::string& typeId, const std::string& correlationId,
                           const std::string& replyTo) override {
    FakeMpaMessageSender::SendMsgToMpaWrapper(payload, typeId, correlationId, replyTo);
    if (auto host = host_.lock()) DeliverSnReply(*host, app, SnReply{typeId, correlationId, payload});
    return true;
  }
  std::weak_ptr<AggServiceClient> host_;
  std::string app;
};

// The smart NIC's client of the same vertical: rx = 7 for t1, one MAC table entry.
struct SmartNicSide {
  SmartNicSide()
      : vertical(std::make_shared<TestVertical>("SnicVertical", false)),
        sender(std::make_shared<LoopbackSender>()),
        registrar(std::make_shared<FakeMpaVerticalRegistrar>(sender)) {
    vertical->AddAdapterEntry(SNIC_ADAPTER, l2::MacTableMsg::default_instance().GetTypeName());
    AggServiceClient::Deps deps{registrar, [] { return 2; }};
    client = std::make_shared<AggSvcSnic::SnicAggServiceClient>(vertical, nullptr, sha, &collector, deps);
    client->RegisterPollStatsHandler([](PollStatType, std::shared_ptr<IStatsStoreFactory> factory) {
      factory->GetTargetStatsStore("t1", "rule", "", "")->AddStat("rx", 7, false);
    });
    registered = AggSvcSnic::RegisterPullHandlerWithSnic<l2::MacTableMsg>(
        client,
        [](const auto&, std::vector<std::shared_ptr<l2::MacTableMsg>>& out) {
          out.push_back(std::make_shared<l2::MacTableMsg>());
          out.back()->set_target_id("from-sn");
        },
        {});
  }
  ~SmartNicSide() { client->StopAggServiceClient(); }

  RemoteCollector collector;
  std::shared_ptr<TestVertical> vertical;
  std::shared_ptr<FakeShaClientWrapper> sha = std::make_shared<FakeShaClientWrapper>();
  std::shared_ptr<LoopbackSender> sender;
  std::shared_ptr<FakeMpaVerticalRegistrar> registrar;
  std::shared_ptr<AggSvcSnic::SnicAggServiceClient> client;
  int registered = -1;
};

// A request from the host, as the smart-NIC road delivers it.
void FromHost(AggServiceClient& client, const char* typeId, const std::string& body, const std::string& corr) {
  DeliverSnReply(client, "SnicVertical", SnReply{typeId, corr, body, /*messageType=*/8});
}

int64_t RxOf(const std::string& payload) {
  snmsg::SummationStatsResponseMsg response;
  if (!response.ParseFromString(payload)) return -1;
  const auto* target = FindTarget(response.stats(), "rule", "t1");
  auto value = target ? NamedValue(*target, "rx") : std::nullopt;
  return value ? static_cast<int64_t>(*value) : -1;
}

TEST(SmartNicPersona, AnswersTheHostsRequestsWithAbsoluteValues) {
  EXPECT_EXIT(
      {
        Logger::logLevel.store(loglevel::kFatal);
        bool ok = true;
        {
          SmartNicSide sn;
          // Refused in smart-NIC form on a smart NIC, filed in plain form instead.
          ok = ok && sn.registered == 0 && sn.client->FindAdapter(l2::MacTableMsg::default_instance().GetTypeName());
          ok = ok && sn.client->SetupAggServiceClient(nullptr, nullptr) == 0 && sn.client->OpenAggServiceClient() == 0;
          for (uint64_t seq : {1, 2}) {
            snmsg::PullSummationStatsRequestMsg request;
            request.set_seq_num(seq);
            request.set_last_ack(seq - 1);
            FromHost(*sn.client, AggServiceClient::kSummationRequestTypeId, request.SerializeAsString(),
                     "h-" + std::to_string(seq));
          }
          snmsg::ClientDataRequestMsg pull;
          pull.add_target_data_request()->set_target_type("com.zumbra.qbx.management.aggservice.l2.MacTableMsg");
          FromHost(*sn.client, AggServiceClient::kClientDataRequestTypeId, pull.SerializeAsString(), "h-pull");
          // Control records on the same road are not requests.
          FromHost(*sn.client, "", "", "ignored");
          sn.sender->WaitForSent(3);
          auto sent = sn.sender->Sent();
          ok = ok && sent.size() == 3;
          ok = ok && sent[0].correlationId == "h-1" && RxOf(sent[0].payload) == 7;
          ok = ok && sent[1].correlationId == "h-2" && RxOf(sent[1].payload) == 7;  // absolute, not 0
          l2::MacTableMsg table;
          ok = ok && sent[2].correlationId == "h-pull" && table.ParseFromString(sent[2].payload) &&
               table.target_id() == "from-sn";
        }
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(SmartNicPersona, HostMergesWhatTheSmartNicAnswersOverTheLoop) {
  EXPECT_EXIT(
      {
        Logger::logLevel.store(loglevel::kFatal);
        bool ok = true;
        {
          SmartNicSide sn;
          SnicHostHarness host(1, false);
          host.client->RegisterPollStatsHandler([](PollStatType, std::shared_ptr<IStatsStoreFactory> factory) {
            factory->GetTargetStatsStore("t1", "rule", "", "")->AddStat("rx", 10, false);
          });
          sn.sender->host_ = host.client;
          sn.sender->app = "SnicVertical";
          // sn-a is the smart NIC above; sn-b is not reachable.
          host.nics->Configure("sn-a", FakeSmartNics::Mode::kAnswer, [&](const SnRequest& request) {
            FromHost(*sn.client, request.typeId.c_str(), request.body, request.correlationId);
            return std::optional<SnReply>();
          });
          host.nics->Configure("sn-b", FakeSmartNics::Mode::kRefuse, nullptr);
          ok = ok && sn.client->SetupAggServiceClient(nullptr, nullptr) == 0 && sn.client->OpenAggServiceClient() == 0;
          ok = ok && host.Open() == 0;
          // Completes when the smart NIC's answer arrives: no time passes on the host's clock.
          ok = ok && host.Summation(1, 0) == 0;
          ok = ok && RxOf(host.Answer(0).payload) == 17;
        }
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace qbx::test
