// A host with smart NICs (persona 1): requests fan out to the smart NICs, their answers are
// merged with the host's, and a smart NIC that answers late, never, or with garbage costs
// at most the wait and loses nothing of the others'.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <set>
#include <thread>

#include "core/uuid.h"
#include "platform/smartnic/sn_util.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/aggsvc/smartnic_harness.h"
#include "tests/aggsvc/stats/stats_response_reader.h"

namespace qbx::test {
namespace {

using Mode = FakeSmartNics::Mode;
namespace agg = zumbra::qbx::agg_service;

double SummedRx(const SentMessage& answer, const char* key = "rx") {
  return SummedCounter(answer.payload, "rule", "t1", key);
}

// Host counters rx (and nothing else) for target t1; smart NICs answer what `snValues` says.
struct SummationHost : SnicHostHarness {
  explicit SummationHost(bool skipFirstValue = true) : SnicHostHarness(1, skipFirstValue) {
    client->RegisterPollStatsHandler([this](PollStatType, std::shared_ptr<IStatsStoreFactory> factory) {
      auto store = factory->GetTargetStatsStore("t1", "rule", "", "");
      if (store) store->AddStat("rx", hostRx, false);
    });
    for (const char* sn : {"sn-a", "sn-b"}) {
      std::string id = sn;
      nics->Configure(id, Mode::kAnswer, [this, id](const SnRequest& request) -> std::optional<SnReply> {
        return SummationReply(request, snValues[id]);
      });
    }
  }
  int64_t hostRx = 10;
  std::map<std::string, std::vector<std::pair<std::string, double>>> snValues{
      {"sn-a", {{"rx", 5.9}, {"tx", 2}}}, {"sn-b", {{"rx", 4}}}};
};

TEST(SmartNicHost, SummationPullSumsHostAndEverySmartNic) {
  LogCapture logs;
  SummationHost h;
  ASSERT_EQ(h.Open(), 0);
  ASSERT_EQ(h.Summation(1, 0), 0);
  const SentMessage answer = h.Answer(0);
  EXPECT_EQ(answer.correlationId, "sum-1");
  EXPECT_EQ(SummedRx(answer), 19.0);  // 10 + 5.9 truncated + 4
  EXPECT_EQ(SummedRx(answer, "tx"), 2.0);
  EXPECT_EQ(logs.Count("Request sent to 2 DPUs"), 1u);
  EXPECT_EQ(logs.Count("RetrieveInfo completes"), 1u);
  // Both smart NICs got the management plane's request as it came.
  auto sends = h.nics->Sends();
  ASSERT_EQ(sends.size(), 2u);
  EXPECT_EQ(sends[0].second.typeId, AggServiceClient::kSummationRequestTypeId);
  EXPECT_EQ(sends[0].second.correlationId, "sum-1");
}

TEST(SmartNicHost, CountersThatAreNotNumbersAndUnparsableRepliesAreSkipped) {
  LogCapture logs;
  SummationHost h;
  h.snValues["sn-a"] = {{"rx", std::nan("")}, {"tx", std::numeric_limits<double>::infinity()}, {"drops", 1e300}};
  h.nics->Configure("sn-b", Mode::kAnswer, [](const SnRequest& request) -> std::optional<SnReply> {
    return SnReply{kSnSummationResponse, request.correlationId, "\xff\xff garbage"};
  });
  ASSERT_EQ(h.Open(), 0);
  ASSERT_EQ(h.Summation(1, 0), 0);
  const SentMessage answer = h.Answer(0);
  EXPECT_EQ(SummedRx(answer), 10.0);
  EXPECT_EQ(SummedRx(answer, "drops"), -1.0);  // never made it into a store
  EXPECT_EQ(logs.Count("counter value out of range, skipped"), 3u);
  EXPECT_EQ(logs.Count("reply skipped"), 1u);
  // The garbage still counted as an answer: no wait for it.
  EXPECT_EQ(logs.Count("RetrieveInfo completes"), 1u);
}

TEST(SmartNicHost, LateSmartNicLeavesTheAnswerCompleteAndOnTime) {
  LogCapture logs;
  SummationHost h;
  h.nics->Configure("sn-b", Mode::kHold,
                    [](const SnRequest& request) -> std::optional<SnReply> { return SummationReply(request, {{"rx", 4}}); });
  ASSERT_EQ(h.Open(), 0);
  std::thread request([&] { EXPECT_EQ(h.Summation(1, 0), 0); });
  h.nics->WaitForSends(2);
  h.clock->Advance(std::chrono::seconds(5), *h.collector);
  request.join();
  EXPECT_EQ(logs.Count("RetrieveInfo timed out"), 1u);
  EXPECT_EQ(SummedRx(h.Answer(0)), 15.0);  // the host and sn-a

  // sn-b's answer arrives after the wait: logged, neither filed nor counted.
  h.nics->ReleaseHeld();
  EXPECT_EQ(logs.Count("reply does not match request, cur_request=app_name:SnicVertical, proto_name=, corr_id="), 1u);
  h.nics->Configure("sn-b", Mode::kAnswer,
                    [](const SnRequest& request) -> std::optional<SnReply> { return SummationReply(request, {{"rx", 4}}); });
  h.hostRx = 11;
  ASSERT_EQ(h.Summation(2, 1), 0);  // completes with no time passing
  EXPECT_EQ(logs.Count("RetrieveInfo completes"), 1u);
}

TEST(SmartNicHost, SilentAndUnreachableSmartNicsCostOnlyTheWait) {
  LogCapture logs;
  SummationHost h;
  h.nics->Configure("sn-a", Mode::kRefuse, nullptr);
  h.nics->Configure("sn-b", Mode::kAnswer, [](const SnRequest&) { return std::optional<SnReply>(); });
  ASSERT_EQ(h.Open(), 0);
  std::thread request([&] { EXPECT_EQ(h.Summation(1, 0), 0); });
  h.nics->WaitForSends(2);
  h.clock->Advance(std::chrono::seconds(5), *h.collector);
  request.join();
  EXPECT_EQ(logs.Count("Request sent to 1 DPUs"), 1u);
  EXPECT_EQ(SummedRx(h.Answer(0)), 10.0);

  // Nobody reachable: no wait at all.
  h.nics->Configure("sn-b", Mode::kRefuse, nullptr);
  ASSERT_EQ(h.Summation(2, 1), 0);
  EXPECT_EQ(logs.Count("Request sent to 0 DPUs"), 1u);
  EXPECT_EQ(logs.Count("RetrieveInfo timed out"), 1u);
}

TEST(SmartNicHost, RuntimeStatusPullMergesHostStatusFirst) {
  SnicHostHarness h;
  std::vector<AggServiceClient::StatusMessageSource> seen;
  AggSvcSnic::MultiCollectorCallbacks callbacks;
  callbacks.genericStatusMerge = [&](const auto& statuses, const auto& sources, auto& merged) {
    seen = sources;
    return DefaultMergeGenericRuntimeStatus(statuses, sources, merged);
  };
  ASSERT_EQ(h.client->RegisterSnicGenericPullHandler<agg::TunnelsSummaryMsg>(
                [] {
                  auto status = std::make_shared<GenericRuntimeStatusUpdateMsg>();
                  status->add_status("host");
                  return std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>>(status);
                },
                callbacks),
            0);
  h.nics->Configure("sn-a", Mode::kAnswer, [](const SnRequest& r) { return std::optional<SnReply>(StatusReply(r, "a")); });
  h.nics->Configure("sn-b", Mode::kAnswer, [](const SnRequest& r) { return std::optional<SnReply>(StatusReply(r, "b")); });
  ASSERT_EQ(h.Open(), 0);
  snmsg::GenericRuntimeStatusRequestMsg request;
  request.set_target_type(agg::TunnelsSummaryMsg::default_instance().GetTypeName());
  ASSERT_EQ(h.Request(AggServiceClient::kGenericRuntimeStatusRequestTypeId, request.SerializeAsString(), "grs-1"), 0);
  snmsg::GenericRuntimeStatusResponseMsg response;
  ASSERT_TRUE(response.ParseFromString(h.Answer(0).payload));
  ASSERT_TRUE(response.status_obtained());
  GenericRuntimeStatusUpdateMsg merged;
  ASSERT_TRUE(merged.ParseFromString(response.status()));
  ASSERT_EQ(merged.status_size(), 3);
  EXPECT_EQ(merged.status(0), "host");
  EXPECT_EQ(std::set<std::string>({merged.status(1), merged.status(2)}), std::set<std::string>({"a", "b"}));
  EXPECT_EQ(seen, (std::vector<AggServiceClient::StatusMessageSource>{AggServiceClient::STATUS_SOURCE_LOCAL,
                                                                      AggServiceClient::STATUS_SOURCE_SNIC,
                                                                      AggServiceClient::STATUS_SOURCE_SNIC}));
  // The smart NICs were asked with a correlation id of the adapter's own, not the request's.
  auto sends = h.nics->Sends();
  ASSERT_EQ(sends.size(), 2u);
  EXPECT_EQ(sends[0].second.correlationId.size(), 36u);
}

TEST(SmartNicHost, MissingOrNullHostStatusGivesAnEmptyStatus) {
  SnicHostHarness h;
  bool nullStatus = true;
  ASSERT_EQ(h.client->RegisterSnicGenericPullHandler<agg::TunnelsSummaryMsg>(
                [&]() -> std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>> {
                  if (nullStatus) return std::shared_ptr<GenericRuntimeStatusUpdateMsg>();
                  return std::nullopt;
                },
                {}),
            0);
  h.nics->Configure("sn-a", Mode::kAnswer, [](const SnRequest& r) { return std::optional<SnReply>(StatusReply(r, "a")); });
  ASSERT_EQ(h.Open(), 0);
  auto* adapter = h.client->FindGenericAdapter(agg::TunnelsSummaryMsg::default_instance().GetTypeName());
  ASSERT_NE(adapter, nullptr);
  for (bool isNull : {true, false}) {
    nullStatus = isNull;
    auto status = adapter->GetGenericRuntimeStatus(false);
    ASSERT_TRUE(status && *status);
    EXPECT_EQ((*status)->status_size(), 0);  // the smart NICs' are not used
  }
}

TEST(SmartNicHost, ClientDataFanOutNarrowsOnlyWhenEveryTargetIsMapped) {
  SnicHostHarness h;
  namespace l2 = zumbra::qbx::agg_service::l2;
  AggSvcSnic::SnicPullCallbacks<l2::MacTableMsg> callbacks;
  callbacks.targets = [](const std::shared_ptr<PullTarget>& target, std::vector<std::string>& ids) {
    if (target->GetTargetId() == "t-a") ids = {"sn-a"};
    if (target->GetTargetId() == "t-b") ids = {"sn-b"};
    return target->GetTargetId() != "t-x";
  };
  ASSERT_EQ(h.client->RegisterSnicPullHandler<l2::MacTableMsg>(
                [](const auto&, std::vector<std::shared_ptr<l2::MacTableMsg>>& out) {
                  out.push_back(std::make_shared<l2::MacTableMsg>());
                  out.back()->set_target_id("host");
                },
                callbacks),
            0);
  for (const char* sn : {"sn-a", "sn-b"}) {
    std::string id = sn;
    h.nics->Configure(id, Mode::kAnswer, [id](const SnRequest& r) -> std::optional<SnReply> {
      l2::MacTableMsg table;
      table.set_target_id(id);
      return SnReply{"com.zumbra.qbx.management.aggservice.l2.MacTableMsg", r.correlationId, table.SerializeAsString()};
    });
  }
  ASSERT_EQ(h.Open(), 0);
  auto pull = [&](const std::vector<std::vector<std::string>>& requests) {
    snmsg::ClientDataRequestMsg request;
    for (const auto& ids : requests) {
      auto* target = request.add_target_data_request();
      target->set_target_type("com.zumbra.qbx.management.aggservice.l2.MacTableMsg");
      for (const auto& id : ids) target->add_target_id(id);
    }
    size_t before = h.nics->Sends().size();
    EXPECT_EQ(h.Request(AggServiceClient::kClientDataRequestTypeId, request.SerializeAsString(), "pull"), 0);
    std::multiset<std::string> to;
    auto sends = h.nics->Sends();
    for (size_t i = before; i < sends.size(); ++i) to.insert(sends[i].first);
    return to;
  };
  using Set = std::multiset<std::string>;
  EXPECT_EQ(pull({{"t-a", "t-x"}}), (Set{"sn-a", "sn-b"}));
  // One fan-out per target request, each deciding on the whole request: a later mapped
  // target does not narrow it.
  EXPECT_EQ(pull({{"t-x"}, {"t-a"}}), (Set{"sn-a", "sn-a", "sn-b", "sn-b"}));
  EXPECT_EQ(pull({{"t-a", "t-a"}}), (Set{"sn-a"}));
  EXPECT_EQ(pull({{"t-a", "t-b"}}), (Set{"sn-a", "sn-b"}));
  // Each answer: the host's message first, then the smart NICs'.
  std::vector<std::string> firstAnswer;
  for (size_t i = 0; i < 3; ++i) {
    l2::MacTableMsg table;
    ASSERT_TRUE(table.ParseFromString(h.Answer(i).payload));
    firstAnswer.push_back(table.target_id());
  }
  EXPECT_EQ(firstAnswer[0], "host");
  EXPECT_EQ(std::set<std::string>({firstAnswer[1], firstAnswer[2]}), std::set<std::string>({"sn-a", "sn-b"}));
}

// A smart NIC that answers one request with two messages must not end the wait for
// another smart NIC that has not answered yet: each smart NIC counts once, and all three
// messages reach the answer.
TEST(SmartNicHost, SmartNicAnsweringTwiceDoesNotCutAnotherOneShort) {
  LogCapture logs;
  SnicHostHarness h;
  namespace l2 = zumbra::qbx::agg_service::l2;
  ASSERT_EQ(h.client->RegisterSnicPullHandler<l2::MacTableMsg>(
                [](const auto&, std::vector<std::shared_ptr<l2::MacTableMsg>>& out) {
                  out.push_back(std::make_shared<l2::MacTableMsg>());
                  out.back()->set_target_id("host");
                },
                {}),
            0);
  auto table = [](const SnRequest& r, const std::string& id) {
    l2::MacTableMsg message;
    message.set_target_id(id);
    return SnReply{"com.zumbra.qbx.management.aggservice.l2.MacTableMsg", r.correlationId, message.SerializeAsString()};
  };
  h.nics->ConfigureReplies("sn-a", Mode::kAnswer, [&](const SnRequest& r) {
    return std::vector<SnReply>{table(r, "a-1"), table(r, "a-2")};
  });
  h.nics->ConfigureReplies("sn-b", Mode::kHold, [&](const SnRequest& r) { return std::vector<SnReply>{table(r, "b")}; });
  ASSERT_EQ(h.Open(), 0);
  snmsg::ClientDataRequestMsg request;
  request.add_target_data_request()->set_target_type("com.zumbra.qbx.management.aggservice.l2.MacTableMsg");
  std::thread pull([&] {
    EXPECT_EQ(h.Request(AggServiceClient::kClientDataRequestTypeId, request.SerializeAsString(), "pull-1"), 0);
  });
  h.nics->WaitForSends(2);
  // sn-b answers after sn-a's two messages; no time passes, so only its answer can end
  // the wait.
  h.nics->ReleaseHeld();
  pull.join();
  std::vector<std::string> ids;
  for (size_t i = 0; i < 4; ++i) {
    l2::MacTableMsg message;
    ASSERT_TRUE(message.ParseFromString(h.Answer(i).payload));
    ids.push_back(message.target_id());
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"host", "a-1", "a-2", "b"}));
  EXPECT_EQ(logs.Count("RetrieveInfo completes"), 1u);
  EXPECT_EQ(logs.Count("RetrieveInfo timed out"), 0u);
  EXPECT_EQ(logs.Count("reply does not match request"), 0u);
}

// A runtime-status request that cannot be built asks no smart NIC; the merge then has the
// host's status alone, never the answers to the poll before.
TEST(SmartNicHost, RuntimeStatusThatCannotBeAskedMergesNoEarlierAnswers) {
  SnicHostHarness h;
  ASSERT_EQ(h.client->RegisterSnicGenericPullHandler<agg::TunnelsSummaryMsg>(
                [] {
                  auto status = std::make_shared<GenericRuntimeStatusUpdateMsg>();
                  status->add_status("host");
                  return std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>>(status);
                },
                {}),
            0);
  h.nics->Configure("sn-a", Mode::kAnswer, [](const SnRequest& r) { return std::optional<SnReply>(StatusReply(r, "a")); });
  h.nics->Configure("sn-b", Mode::kAnswer, [](const SnRequest& r) { return std::optional<SnReply>(StatusReply(r, "b")); });
  ASSERT_EQ(h.Open(), 0);
  auto* adapter = h.client->FindGenericAdapter(agg::TunnelsSummaryMsg::default_instance().GetTypeName());
  ASSERT_NE(adapter, nullptr);
  auto first = adapter->GetGenericRuntimeStatus(false);
  ASSERT_TRUE(first && *first);
  EXPECT_EQ((*first)->status_size(), 3);

  LogCapture logs;
  UUID::SetRandomSourceForTest([](unsigned char*, int) { return 0; });
  auto second = adapter->GetGenericRuntimeStatus(false);
  UUID::SetRandomSourceForTest(nullptr);
  ASSERT_TRUE(second && *second);
  ASSERT_EQ((*second)->status_size(), 1);
  EXPECT_EQ((*second)->status(0), "host");
  EXPECT_EQ(logs.Count("Cannot build the runtime-status request for the smart NICs"), 1u);
  EXPECT_EQ(h.nics->Sends().size(), 2u);  // only the first poll's
}

TEST(SmartNicHost, ConcurrentFanOutsOfOneVerticalKeepTheirOwnReplies) {
  SnicHostHarness h;
  for (const char* sn : {"sn-a", "sn-b"}) {
    h.nics->Configure(sn, Mode::kHold, [](const SnRequest& r) {
      return std::optional<SnReply>(StatusReply(r, "for-" + r.correlationId));
    });
  }
  ASSERT_EQ(h.Open(), 0);
  snmsg::GenericRuntimeStatusRequestMsg request;
  request.set_target_type("T");
  const std::string bytes = request.SerializeAsString();
  std::list<std::string> got[2];
  std::promise<void> done[2];
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&, i] {
      const MsgMetadata metadata(AggServiceClient::kGenericRuntimeStatusRequestTypeId, "c" + std::to_string(i), "");
      h.collector->RetrieveInfo("SnicVertical", bytes.data(), static_cast<int32_t>(bytes.size()), metadata);
      got[i] = h.collector->GetGenericStatusCache("SnicVertical", "T");
      done[i].set_value();
    });
  }
  EXPECT_TRUE(h.nics->WaitForSends(4));
  h.nics->ReleaseHeld();
  // The clock stands still, so only the replies can end the waits. A fan-out that another
  // one's replies went to waits on: after the bound, time is moved past the wait to free it.
  const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(done[i].get_future().wait_until(bound), std::future_status::ready) << "fan-out c" << i << " never ended";
  }
  h.clock->Advance(std::chrono::seconds(h.collector->WaitTime()), *h.collector);
  for (auto& t : threads) t.join();
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(got[i].size(), 2u) << i;
    for (const auto& bytes : got[i]) {
      GenericRuntimeStatusUpdateMsg status;
      ASSERT_TRUE(status.ParseFromString(bytes));
      EXPECT_EQ(status.status(0), "for-c" + std::to_string(i));
    }
  }
}

TEST(SmartNicHost, SmartNicDatapathRestartResetsTheVerticalsSummation) {
  LogCapture logs;
  SummationHost h(/*skipFirstValue=*/false);
  ASSERT_EQ(h.Open(), 0);
  ASSERT_EQ(h.Summation(1, 0), 0);
  EXPECT_EQ(SummedRx(h.Answer(0)), 19.0);
  h.hostRx = 12;
  ASSERT_EQ(h.Summation(2, 1), 0);
  EXPECT_EQ(SummedRx(h.Answer(1)), 2.0);  // a delta
  // sn-b's datapath restarts: its counters begin again, and so does the summation.
  h.snValues["sn-b"] = {{"rx", 1}};
  SNUtil::NotifyDatapathRestart("sn-b");
  h.client->WaitForResetsForTest();
  EXPECT_EQ(logs.Count("Datapath of smart NIC sn-b restarted, resetting summation statistics"), 1u);
  ASSERT_EQ(h.Summation(3, 2), 0);
  EXPECT_EQ(SummedRx(h.Answer(2)), 18.0);  // 12 + 5 + 1 from an empty base, not 18 - 21
}

TEST(SmartNicHost, PlainPersonaAsksNoSmartNicAndMergesNothing) {
  LogCapture logs;
  SnicHostHarness h(/*persona=*/0);
  h.client->RegisterPollStatsHandler([](PollStatType, std::shared_ptr<IStatsStoreFactory> factory) {
    factory->GetTargetStatsStore("t1", "rule", "", "")->AddStat("rx", 10, false);
  });
  ASSERT_EQ(h.Open(), 0);
  ASSERT_EQ(h.Summation(1, 0), 0);
  EXPECT_EQ(SummedRx(h.Answer(0)), 10.0);
  EXPECT_TRUE(h.nics->Sends().empty());
  EXPECT_EQ(logs.Count("Non KRX_SN_HOST. Nothing to retrieve from DPUs."), 1u);
  SNUtil::NotifyDatapathRestart("sn-a");
  h.client->WaitForResetsForTest();
  EXPECT_EQ(logs.Count("resetting summation statistics"), 0u);
}

}  // namespace
}  // namespace qbx::test
