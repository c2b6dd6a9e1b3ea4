// The pieces of the smart-NIC road one by one: the smart-NIC registrations, the collector's
// filing of replies, and the statistics merge into the host's stores.
#include <gtest/gtest.h>

#include "aggsvc/stats/proto_store_factory.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/aggsvc/smartnic_harness.h"
#include "tests/aggsvc/stats/stats_response_reader.h"

namespace qbx::test {
namespace {

using Mode = FakeSmartNics::Mode;
namespace agg = zumbra::qbx::agg_service;
namespace l2 = zumbra::qbx::agg_service::l2;
using GrsPtr = std::shared_ptr<GenericRuntimeStatusUpdateMsg>;

AggServiceClient::GenericStatusGetter NoStatus() {
  return [] { return std::optional<GrsPtr>(); };
}

TEST(SmartNicRegistration, RefusalsComeInTheirOrderAndLeaveTheMapsAlone) {
  LogCapture logs;
  {
    SnicHostHarness sn(/*persona=*/2);
    // On a smart NIC, before anything else is looked at.
    EXPECT_EQ(sn.client->RegisterSnicPullHandler<l2::MacTableMsg>(nullptr, {}), -1011);
    EXPECT_EQ(sn.client->RegisterSnicGenericPullHandler<agg::TunnelsSummaryMsg>(NoStatus(), {}), -1011);
    EXPECT_EQ(logs.CountAll({"API not supported for SN.", "MPA10075"}), 2u);
    EXPECT_EQ(sn.client->AdapterCount() + sn.client->GenericAdapterCount(), 0u);
  }
  {
    // Even for a key that the plain form took already: refused as on a smart NIC, not as a
    // duplicate, and the plain adapters stay.
    SnicHostHarness sn(/*persona=*/2);
    ASSERT_EQ(sn.client->RegisterPullHandler<l2::MacTableMsg>(nullptr), 0);
    ASSERT_EQ(sn.client->RegisterGenericPullHandler<agg::TunnelsSummaryMsg>(NoStatus(), AggServiceClient::GenericStatusDiff()),
              0);
    const std::string mac = l2::MacTableMsg::default_instance().GetTypeName();
    const std::string summary = agg::TunnelsSummaryMsg::default_instance().GetTypeName();
    AggServiceClient::Adapter* plain = sn.client->FindAdapter(mac);
    AggServiceClient::Adapter* generic = sn.client->FindGenericAdapter(summary);
    logs.Clear();
    EXPECT_EQ(sn.client->RegisterSnicPullHandler<l2::MacTableMsg>(nullptr, {}), -1011);
    EXPECT_EQ(sn.client->RegisterSnicGenericPullHandler<agg::TunnelsSummaryMsg>(NoStatus(), {}), -1011);
    EXPECT_EQ(logs.CountAll({"API not supported for SN.", "MPA10075"}), 2u);
    EXPECT_EQ(logs.Count("MPA10024"), 0u);
    EXPECT_EQ(sn.client->FindAdapter(mac), plain);
    EXPECT_EQ(sn.client->FindGenericAdapter(summary), generic);
    EXPECT_EQ(sn.client->AdapterCount() + sn.client->GenericAdapterCount(), 2u);
  }
  logs.Clear();
  SnicHostHarness h;
  EXPECT_EQ(h.client->RegisterSnicPullHandler<l2::MacTableMsg>(nullptr, {}), 0);
  EXPECT_EQ(h.client->RegisterSnicPullHandler<l2::MacTableMsg>(nullptr, {}), -1005);
  // A type with no kind-1 entry, and one with a kind-0 entry only.
  h.vertical->AddAdapterEntry(0, l2::VtepTableMsg::default_instance().GetTypeName());
  EXPECT_EQ(h.client->RegisterSnicPullHandler<l2::VtepTableMsg>(nullptr, {}), -1006);
  EXPECT_EQ(h.client->RegisterSnicPullHandler<l2::LogicalPortMacTableMsg>(nullptr, {}), -1006);
  EXPECT_EQ(logs.Count("No SmartNIC collection adapter registered for: zumbra.qbx.agg_service.l2.VtepTableMsg."), 1u);
  EXPECT_EQ(h.client->AdapterCount(), 1u);
  // The plain form stays available for a type the vertical does not collect from smart NICs.
  EXPECT_EQ(AggSvcSnic::RegisterPullHandlerWithSnic<l2::VtepTableMsg>(h.client, nullptr, {}), 0);
  EXPECT_EQ(h.client->AdapterCount(), 2u);
}

TEST(SmartNicRegistration, GenericCallbacksMustBeOneCompleteStyle) {
  LogCapture logs;
  auto tryWith = [](const AggSvcSnic::MultiCollectorCallbacks& callbacks) {
    SnicHostHarness h;
    return h.client->RegisterSnicGenericPullHandler<agg::TunnelsSummaryMsg>(NoStatus(), callbacks);
  };
  AggSvcSnic::MultiCollectorCallbacks mixed;
  mixed.genericStatusMerge = [](const auto&, const auto&, auto&) { return true; };
  mixed.runtimeStatusDiff = [](const auto&, const auto&, RuntimeStatus&) { return true; };
  EXPECT_EQ(tryWith(mixed), -1006);
  EXPECT_EQ(logs.Count("Wrong merge or diff callback is registered for:"), 1u);
  AggSvcSnic::MultiCollectorCallbacks half;
  half.runtimeStatusMerge = [](const auto&, const auto&, RuntimeStatus&) { return true; };
  EXPECT_EQ(tryWith(half), -1006);
  EXPECT_EQ(logs.Count("MultiCollector merge or diff callback is not registered for:"), 1u);
  EXPECT_EQ(tryWith({}), 0);
  AggSvcSnic::MultiCollectorCallbacks firstHalf;  // an incomplete first pair is accepted
  firstHalf.genericStatusDiff = [](const auto&, const auto&) { return true; };
  EXPECT_EQ(tryWith(firstHalf), 0);
}

TEST(SmartNicRegistration, RuntimeStatusMergeMayHandBackAStatusOfItsOwn) {
  SnicHostHarness h;
  AggSvcSnic::MultiCollectorCallbacks callbacks;
  callbacks.runtimeStatusDiff = [](const auto&, const auto&, RuntimeStatus&) { return true; };
  callbacks.runtimeStatusMerge = [](const auto& statuses, const auto&, RuntimeStatus& out) {
    out.status = std::make_shared<GenericRuntimeStatusUpdateMsg>();
    out.status->add_status("count=" + std::to_string(statuses.size()));
    return true;
  };
  ASSERT_EQ(h.client->RegisterSnicGenericPullHandler<agg::TunnelsSummaryMsg>(
                [] { return std::optional<GrsPtr>(std::make_shared<GenericRuntimeStatusUpdateMsg>()); }, callbacks),
            0);
  h.nics->Configure("sn-a", Mode::kAnswer, [](const SnRequest& r) { return std::optional<SnReply>(StatusReply(r, "a")); });
  ASSERT_EQ(h.Open(), 0);
  auto status = h.client->FindGenericAdapter(agg::TunnelsSummaryMsg::default_instance().GetTypeName())
                    ->GetGenericRuntimeStatus(false);
  ASSERT_TRUE(status && *status);
  ASSERT_EQ((*status)->status_size(), 1);
  EXPECT_EQ((*status)->status(0), "count=2");
}

// Files one summation answer of sn-a (built by `fill`) for this thread, as a fan-out would.
void FileFromSnA(SnicHostHarness& h, const std::function<void(snmsg::StatsResponseMsg&)>& fill) {
  h.nics->Configure("sn-a", Mode::kAnswer, [fill](const SnRequest& request) {
    snmsg::SummationStatsResponseMsg response;
    fill(*response.mutable_stats());
    return std::optional<SnReply>(SnReply{kSnSummationResponse, request.correlationId, response.SerializeAsString()});
  });
  h.nics->Configure("sn-b", Mode::kRefuse, nullptr);
  const std::string body = snmsg::PullSummationStatsRequestMsg().SerializeAsString();
  h.collector->RetrieveInfo("SnicVertical", body.data(), static_cast<int32_t>(body.size()),
                            MsgMetadata(AggServiceClient::kSummationRequestTypeId, "m", ""));
}

snmsg::TargetStatsMsg* AddTarget(snmsg::StatsResponseMsg& stats, int32_t statType, const std::string& id) {
  auto* type = stats.add_target_type_stats();
  type->set_stat_type(statType);
  auto* target = type->add_target_stats();
  target->mutable_target_id()->set_string_id(id);
  return target;
}

void AddIndexed(snmsg::TargetStatsMsg* target, int32_t index, int64_t value) {
  auto* counter = target->add_counters();
  counter->set_counter_index(index);
  counter->set_long_value(value);
}

TEST(SmartNicStatsMerge, VectorCountersAddByIndexAndBadOnesAreLeftOut) {
  LogCapture logs;
  SnicHostHarness h;
  ASSERT_EQ(h.Open(), 0);
  FileFromSnA(h, [](snmsg::StatsResponseMsg& stats) {
    auto* t1 = AddTarget(stats, 7, "v1");
    AddIndexed(t1, 2, 30);
    AddIndexed(t1, 0, 10);
    AddIndexed(t1, 1, 20);
    auto* t2 = AddTarget(stats, 7, "v2");  // index 3 is outside three counters
    AddIndexed(t2, 0, 5);
    AddIndexed(t2, 3, 9);
    AddIndexed(t2, 1, 6);
    AddIndexed(AddTarget(stats, 7, "v3"), 0, 1);  // two counters for a host vector of three
    AddIndexed(stats.mutable_target_type_stats(2)->mutable_target_stats(0), 1, 1);
    AddIndexed(AddTarget(stats, 7, "only-sn"), 0, 4);
  });
  auto factory = std::make_shared<ProtoStoreFactoryImpl>();
  for (const char* id : {"v1", "v2", "v3"}) factory->GetTargetStatsStore(7, id, "")->AddStats({1, 2, 3}, false);
  h.client->MergeStatsWithRemote("SnicVertical", factory);
  snmsg::StatsResponseMsg out;
  ASSERT_TRUE(factory->Encode(&out));
  auto values = [&](const char* id) {
    std::vector<int64_t> v;
    const auto* target = FindTarget(out, 7, id);
    for (int i = 0; target && i < 3; ++i) v.push_back(IndexedValue(*target, i).value_or(-100));
    return v;
  };
  EXPECT_EQ(values("v1"), (std::vector<int64_t>{11, 22, 33}));
  EXPECT_EQ(values("v2"), (std::vector<int64_t>{6, 8, 3}));
  EXPECT_EQ(values("v3"), (std::vector<int64_t>{1, 2, 3}));  // refused, the host's stay
  ASSERT_NE(FindTarget(out, 7, "only-sn"), nullptr);
  EXPECT_EQ(logs.Count("MergeStatsWithRemote: invalid counter_index"), 1u);
}

TEST(SmartNicStatsMerge, ErrorCodesAndARecordWithoutKeysStopTheMerge) {
  LogCapture logs;
  SnicHostHarness h;
  ASSERT_EQ(h.Open(), 0);
  FileFromSnA(h, [](snmsg::StatsResponseMsg& stats) {
    auto* type = stats.add_target_type_stats();
    type->set_target_type("rule");
    auto* clean = type->add_target_stats();  // no error code: clears the host's
    clean->mutable_target_id()->set_string_id("t1");
    auto* rx = clean->add_counters();
    rx->set_key("rx");
    rx->set_value(5);
    stats.add_target_type_stats();  // neither target type nor stat type
    auto* later = stats.add_target_type_stats();
    later->set_target_type("rule");
    auto* t2 = later->add_target_stats();
    t2->mutable_target_id()->set_string_id("t2");
    t2->add_counters()->set_key("rx");
  });
  auto factory = std::make_shared<ProtoStoreFactoryImpl>();
  auto store = factory->GetTargetStatsStore("t1", "rule", "", "");
  store->AddStat("rx", 10, false);
  store->AddError(3);
  h.client->MergeStatsWithRemote("SnicVertical", factory);
  EXPECT_EQ(store->GetErrorCount(), 0u);
  snmsg::StatsResponseMsg out;
  ASSERT_TRUE(factory->Encode(&out));
  ASSERT_NE(FindTarget(out, "rule", "t1"), nullptr);
  EXPECT_EQ(NamedValue(*FindTarget(out, "rule", "t1"), "rx"), 15.0);
  EXPECT_EQ(FindTarget(out, "rule", "t2"), nullptr);
  EXPECT_EQ(logs.CountAll({"missing both target_type & stat_type", "MPA10005"}), 1u);
}

TEST(SmartNicCollector, RepliesAreFiledUnderTheirProtobufNameAndCheckedForTheirRequest) {
  LogCapture logs;
  SnicHostHarness h;
  ASSERT_EQ(h.Open(), 0);
  h.nics->Configure("sn-a", Mode::kAnswer, [](const SnRequest& r) {
    return std::optional<SnReply>(SnReply{"com.zumbra.qbx.management.aggservice.l2.MacTableMsg", r.correlationId, "m"});
  });
  h.nics->Configure("sn-b", Mode::kAnswer, [](const SnRequest& r) {
    return std::optional<SnReply>(SnReply{"zumbra.qbx.agg_service.Unlisted", r.correlationId, "u"});
  });
  const std::string body = snmsg::ClientDataRequestMsg().SerializeAsString();
  h.collector->RetrieveInfo("SnicVertical", body.data(), static_cast<int32_t>(body.size()),
                            MsgMetadata(AggServiceClient::kClientDataRequestTypeId, "cd", ""));
  EXPECT_EQ(h.collector->GetStatusCache("SnicVertical", "zumbra.qbx.agg_service.l2.MacTableMsg"),
            std::list<std::string>{"m"});
  EXPECT_EQ(h.collector->GetStatusCache("SnicVertical", "zumbra.qbx.agg_service.Unlisted"), std::list<std::string>{"u"});
  // Another thread has no results of its own.
  std::list<std::string> elsewhere{"x"};
  std::thread([&] { elsewhere = h.collector->GetStatusCache("SnicVertical", "zumbra.qbx.agg_service.l2.MacTableMsg"); })
      .join();
  EXPECT_TRUE(elsewhere.empty());

  // Replies for no request, of a wrong record type, or malformed records are dropped.
  DeliverSnReply(*h.client, "SnicVertical", SnReply{kSnSummationResponse, "cd", ""});
  EXPECT_EQ(logs.Count("reply does not match request"), 1u);
  DeliverSnReply(*h.client, "SnicVertical", SnReply{kSnSummationResponse, "cd", "", /*messageType=*/3});
  EXPECT_EQ(logs.CountAll({"ProcessSnResponse: unknown message type 3", "MPA10006"}), 1u);
  rmqClientMessage bad{};
  bad.messageType = RMQ_ZLM_PAYLOAD;
  bad.payloadLen = 12;  // and no payload
  h.client->HandleSnReply(&bad, "SnicVertical", kSnSummationResponse, "cd");
  h.client->HandleSnReply(nullptr, "SnicVertical", kSnSummationResponse, "cd");
  EXPECT_EQ(logs.Count("reply with invalid body length 12 dropped"), 1u);
  EXPECT_EQ(RemoteCollector::GetReplyProtobufName("other"), "");
  EXPECT_EQ(logs.Count("GetReplyProtobufName: don't know protobuf other"), 1u);
}

TEST(SmartNicCollector, NoSenderForTheAppMeansNoSendAndNoWait) {
  LogCapture logs;
  RemoteCollector collector;
  collector.Start();
  const std::string body;
  collector.RetrieveInfo("Nobody", body.data(), 0, MsgMetadata(AggServiceClient::kOverwriteRequestTypeId, "c", ""));
  collector.SetMpaStub("Null", nullptr);
  collector.RetrieveInfo("Null", body.data(), 0, MsgMetadata(AggServiceClient::kOverwriteRequestTypeId, "c", ""),
                         {"sn-a"});
  EXPECT_EQ(logs.Count("No mpa client for Nobody in mpaStubMap"), 1u);
  EXPECT_EQ(logs.Count("Null mpa client for Null in mpaStubMap"), 1u);
  EXPECT_EQ(logs.Count("Request sent to 0 DPUs"), 2u);
  EXPECT_TRUE(collector.GetStatsReplies("Nobody").empty());
}

// A reply that carries the previous request's correlation id, arriving while the next
// fan-out waits, is only logged: it is neither filed nor counted as an answer, so only the
// answers to this request end the wait.
TEST(SmartNicCollector, ReplyWithThePreviousRequestsIdIsNeitherFiledNorEndsTheWait) {
  LogCapture logs;
  SnicHostHarness h;
  ASSERT_EQ(h.Open(), 0);
  auto answer = [](const SnRequest& r) { return std::optional<SnReply>(StatusReply(r, "for-" + r.correlationId)); };
  for (const char* sn : {"sn-a", "sn-b"}) h.nics->Configure(sn, Mode::kAnswer, answer);
  snmsg::GenericRuntimeStatusRequestMsg request;
  request.set_target_type("T");
  const std::string bytes = request.SerializeAsString();
  auto retrieve = [&](const std::string& corr) {
    h.collector->RetrieveInfo("SnicVertical", bytes.data(), static_cast<int32_t>(bytes.size()),
                              MsgMetadata(AggServiceClient::kGenericRuntimeStatusRequestTypeId, corr, ""));
    return h.collector->GetGenericStatusCache("SnicVertical", "T");
  };
  ASSERT_EQ(retrieve("c1").size(), 2u);
  const SnRequest previous = h.nics->Sends()[0].second;
  ASSERT_EQ(previous.correlationId, "c1");

  for (const char* sn : {"sn-a", "sn-b"}) h.nics->Configure(sn, Mode::kHold, answer);
  std::list<std::string> got;
  std::thread pull([&] { got = retrieve("c2"); });
  h.nics->WaitForSends(4);
  // Both smart NICs seem to answer, with the previous request's id; the clock stands still,
  // so the wait can only end on answers.
  for (const char* sn : {"sn-a", "sn-b"}) {
    SnReply stale = StatusReply(previous, "stale");
    stale.snUuid = sn;
    DeliverSnReply(*h.client, "SnicVertical", stale);
  }
  EXPECT_EQ(logs.Count("reply does not match request"), 2u);
  h.nics->ReleaseHeld();
  pull.join();
  ASSERT_EQ(got.size(), 2u);
  for (const auto& filed : got) {
    GenericRuntimeStatusUpdateMsg status;
    ASSERT_TRUE(status.ParseFromString(filed));
    EXPECT_EQ(status.status(0), "for-c2");
  }
  EXPECT_EQ(logs.Count("reply does not match request"), 2u);
  EXPECT_EQ(logs.Count("RetrieveInfo completes"), 2u);
  EXPECT_EQ(logs.Count("RetrieveInfo timed out"), 0u);
}

}  // namespace
}  // namespace qbx::test
