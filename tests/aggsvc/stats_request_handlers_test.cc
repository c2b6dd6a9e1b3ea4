// Summation (delta protocol), overwrite, on-demand and runtime-status requests, end to end
// through a client with recording doubles around it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical_adapter.h"
#include "tests/aggsvc/fakes/test_vertical.h"
#include "tests/aggsvc/stats/stats_log_capture.h"
#include "tests/aggsvc/stats/stats_response_reader.h"
#include "zumbra/qbx/agg_service/messaging/runtime_status_request.pb.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"
#include "zumbra/qbx/sha/metrics_agent.pb.h"

namespace qbx {
namespace {

namespace msg = zumbra::qbx::agg_service::messaging;
using test::FakeMpaMessageSender;
using test::TestVertical;

constexpr const char* kSummationResponse = "com.zumbra.qbx.management.agg.messaging.SummationStatsResponseMsg";

// A client whose vertical reports one firewall-like target "t1" of type "rule" with the
// running total `rx`, or throws when told to.
struct StatsHarness {
  explicit StatsHarness(bool skipFirstValue, int persona = 0)
      : vertical(std::make_shared<TestVertical>("StatsVertical", skipFirstValue)),
        sender(std::make_shared<FakeMpaMessageSender>()),
        registrar(std::make_shared<test::FakeMpaVerticalRegistrar>(sender)),
        sha(std::make_shared<test::FakeShaClientWrapper>()) {
    AggServiceClient::Deps deps;
    deps.registrar = registrar;
    deps.nodePersona = [persona] { return persona; };
    client = std::make_shared<AggServiceClient>(vertical, nullptr, sha, deps);
    client->RegisterPollStatsHandler([this](PollStatType type, std::shared_ptr<IStatsStoreFactory> factory) {
      ++polls;
      lastPollType = type;
      auto store = factory->GetTargetStatsStore("t1", "rule", "", "");
      if (store) store->AddStat("rx", rx, false);
      if (throwInPoll) throw std::runtime_error("datapath read failed");
    });
  }
  ~StatsHarness() { client->StopAggServiceClient(); }

  int Request(const char* typeId, const std::string& payload, const std::string& correlationId = "corr") {
    MsgMetadata metadata(typeId, correlationId, "reply-to");
    return client->ProcessReceivedMessage(payload.data(), static_cast<int32_t>(payload.size()), metadata);
  }
  int Summation(uint64_t seq, uint64_t ack) {
    msg::PullSummationStatsRequestMsg request;
    request.set_seq_num(seq);
    request.set_last_ack(ack);
    return Request(AggServiceClient::kSummationRequestTypeId, request.SerializeAsString(),
                   "corr-" + std::to_string(seq));
  }
  // The answers sent so far (waits for the dispatcher to send `count` of them).
  std::vector<test::SentMessage> Sent(size_t count) {
    sender->WaitForSent(count);
    return sender->Sent();
  }

  std::shared_ptr<TestVertical> vertical;
  std::shared_ptr<FakeMpaMessageSender> sender;
  std::shared_ptr<test::FakeMpaVerticalRegistrar> registrar;
  std::shared_ptr<test::FakeShaClientWrapper> sha;
  std::shared_ptr<AggServiceClient> client;
  int64_t rx = 0;
  bool throwInPoll = false;
  int polls = 0;
  std::optional<PollStatType> lastPollType;
};

// What one summation request is expected to get.
enum class Answer { kFull, kDelta, kResend, kRefused };

struct Request {
  uint64_t seq;
  uint64_t ack;
  int64_t rx;         // the vertical's running total at this request
  Answer answer;
  // rx in the answer, for each value of skipFirstValue (false, true); nullopt = no entry.
  std::optional<double> sentRx[2];
  std::string action = {};  // done before the request: "reset", "version", "throw"
};

struct Scenario {
  std::string name;
  std::vector<Request> requests;
};

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> kScenarios = {
      {"full_delta_resend_delta",
       {{1, 0, 10, Answer::kFull, {10.0, 10.0}},
        {2, 1, 15, Answer::kDelta, {5.0, 5.0}},
        {3, 1, 18, Answer::kResend, {5.0, 5.0}},
        {4, 3, 20, Answer::kDelta, {5.0, 5.0}},
        {5, 4, 20, Answer::kDelta, {std::nullopt, std::nullopt}}}},
      {"first_request_without_full_sync",
       {{7, 6, 10, Answer::kDelta, {10.0, std::nullopt}}, {8, 7, 12, Answer::kDelta, {2.0, 2.0}}}},
      {"repeated_full_sync_resends_the_cached_one",
       {{1, 0, 10, Answer::kFull, {10.0, 10.0}},
        {2, 0, 11, Answer::kResend, {10.0, 10.0}},
        {3, 2, 13, Answer::kDelta, {3.0, 3.0}}}},
      {"refused_requests_change_nothing",
       {{5, 5, 1, Answer::kRefused, {}},
        {1, 0, 10, Answer::kFull, {10.0, 10.0}},
        {3, 2, 11, Answer::kRefused, {}},
        {1, 0, 11, Answer::kResend, {10.0, 10.0}},
        {4, 1, 12, Answer::kDelta, {2.0, 2.0}},
        {4, 3, 12, Answer::kRefused, {}},
        {6, 0, 14, Answer::kFull, {14.0, 14.0}}}},
      {"datapath_restart_invalidates_the_cached_full_response",
       {{1, 0, 10, Answer::kFull, {10.0, 10.0}},
        {2, 0, 3, Answer::kFull, {3.0, 3.0}, "reset"},
        {3, 2, 5, Answer::kDelta, {2.0, 2.0}}}},
      {"version_change_invalidates_the_cached_full_response",
       {{1, 0, 10, Answer::kFull, {10.0, 10.0}},
        {2, 0, 4, Answer::kFull, {4.0, 4.0}, "version"},
        {3, 2, 6, Answer::kDelta, {2.0, 2.0}}}},
      // The acknowledgement 6 was never sent: only a worker waiting for its first request
      // after a reset takes it (status DELTA_FIRST_RECEIVED_REQUEST), and the delta store,
      // reset with it, has no base: the whole running total is the delta.
      {"version_change_between_deltas_restarts_from_empty",
       {{1, 0, 10, Answer::kFull, {10.0, 10.0}},
        {2, 1, 12, Answer::kDelta, {2.0, 2.0}},
        {9, 6, 3, Answer::kDelta, {3.0, std::nullopt}, "version"},
        {10, 9, 7, Answer::kDelta, {4.0, 4.0}}}},
      {"reset_between_deltas_restarts_from_empty",
       {{1, 0, 10, Answer::kFull, {10.0, 10.0}},
        {2, 1, 12, Answer::kDelta, {2.0, 2.0}},
        {3, 2, 3, Answer::kDelta, {3.0, std::nullopt}, "reset"},
        {4, 3, 7, Answer::kDelta, {4.0, 4.0}}}},
      {"failed_delta_is_retried_without_double_counting",
       {{1, 0, 10, Answer::kFull, {10.0, 10.0}},
        {2, 1, 15, Answer::kRefused, {}, "throw"},
        {3, 1, 16, Answer::kDelta, {6.0, 6.0}},
        {4, 3, 18, Answer::kDelta, {2.0, 2.0}}}},
      {"failed_full_sync_keeps_the_previous_base",
       {{1, 0, 10, Answer::kFull, {10.0, 10.0}},
        {2, 1, 12, Answer::kDelta, {2.0, 2.0}},
        {3, 0, 20, Answer::kRefused, {}, "throw"},
        {4, 2, 21, Answer::kDelta, {9.0, 9.0}}}},
  };
  return kScenarios;
}

TEST(SummationRequestTest, EveryClassificationGetsItsAnswer) {
  StatsLogCapture logs(loglevel::kWarning);
  for (int skip = 0; skip < 2; ++skip) {
    for (const Scenario& scenario : Scenarios()) {
      SCOPED_TRACE(scenario.name + (skip ? " skipFirstValue" : " !skipFirstValue"));
      StatsHarness h(skip == 1);
      ASSERT_EQ(h.client->SetupAggServiceClient(nullptr, nullptr), 0);
      size_t sent = 0;
      std::optional<msg::SummationStatsResponseMsg> lastSent;
      for (const Request& r : scenario.requests) {
        SCOPED_TRACE("seq " + std::to_string(r.seq) + " ack " + std::to_string(r.ack));
        if (r.action == "reset") h.client->ResetStatistics();
        if (r.action == "version") h.client->SetMPVersion(4, 0);
        h.throwInPoll = r.action == "throw";
        h.rx = r.rx;
        const int pollsBefore = h.polls;
        const int rc = h.Summation(r.seq, r.ack);
        if (r.answer == Answer::kRefused) {
          EXPECT_LT(rc, 0);
          EXPECT_EQ(h.sender->Sent().size(), sent);
          continue;
        }
        ASSERT_EQ(rc, 0);
        auto messages = h.Sent(++sent);
        ASSERT_EQ(messages.size(), sent);
        const test::SentMessage& m = messages.back();
        EXPECT_EQ(m.typeId, kSummationResponse);
        EXPECT_EQ(m.correlationId, "corr-" + std::to_string(r.seq));
        EXPECT_EQ(m.replyTo, "reply-to");
        msg::SummationStatsResponseMsg response;
        ASSERT_TRUE(response.ParseFromString(m.payload));
        EXPECT_EQ(response.seq_num(), r.seq);
        // Resends do not ask the vertical; the others ask it once, for summation values.
        EXPECT_EQ(h.polls - pollsBefore, r.answer == Answer::kResend ? 0 : 1);
        if (r.answer != Answer::kResend) {
          EXPECT_EQ(h.lastPollType, SUMMATION);
        }
        const auto* target = FindTarget(response.stats(), "rule", "t1");
        const std::optional<double> got = target ? NamedValue(*target, "rx") : std::nullopt;
        EXPECT_EQ(got, r.sentRx[skip]);
        if (r.answer == Answer::kResend) {
          ASSERT_TRUE(lastSent);
          msg::StatsResponseMsg expected = lastSent->stats();
          EXPECT_EQ(response.stats().SerializeAsString(), expected.SerializeAsString());
        }
        lastSent = response;
      }
    }
  }
}

TEST(SummationRequestTest, MalformedRequestsAreRefusedBeforeClassification) {
  StatsLogCapture logs;
  StatsHarness h(false);
  ASSERT_EQ(h.client->SetupAggServiceClient(nullptr, nullptr), 0);
  EXPECT_EQ(h.Request(AggServiceClient::kSummationRequestTypeId, std::string("\xff\xff\xff", 3)), -1002);
  EXPECT_TRUE(logs.Contains("Unable to parse PullSummationStatsRequestMsg from msg type: "
                            "com.zumbra.qbx.management.agg.messaging.PullSummationStatsRequestMsg"));
  msg::PullSummationStatsRequestMsg onlySeq;
  onlySeq.set_seq_num(1);
  EXPECT_EQ(h.Request(AggServiceClient::kSummationRequestTypeId, onlySeq.SerializeAsString()), -1008);
  EXPECT_EQ(logs.Count("MPA10034"), 1u);
  EXPECT_EQ(h.polls, 0);
  // Refusals left the worker untouched: a first request is still a first request.
  EXPECT_EQ(h.Summation(7, 6), 0);
  EXPECT_TRUE(logs.Contains("First pull stat request after start/restart is always valid"));
}

TEST(SummationRequestTest, NoAdapterAndNoDeltaStore) {
  StatsLogCapture logs;
  auto vertical = std::make_shared<TestVertical>("Bare", false);
  AggServiceClient::Deps deps;
  deps.nodePersona = [] { return 0; };
  auto bare = std::make_shared<AggServiceClient>(vertical, nullptr, nullptr, deps);
  msg::PullSummationStatsRequestMsg request;
  request.set_seq_num(2);
  request.set_last_ack(1);
  const std::string payload = request.SerializeAsString();
  MsgMetadata metadata(AggServiceClient::kSummationRequestTypeId, "c", "r");
  EXPECT_EQ(bare->ProcessReceivedMessage(payload.data(), static_cast<int32_t>(payload.size()), metadata), -1003);
  EXPECT_TRUE(logs.Contains("No vertical adapter registered for statistics message type: "
                            "zumbra.qbx.agg_service.messaging.PullSummationStatsRequestMsg"));

  // Registered but never set up: no delta store for a delta request.
  StatsHarness h(false);
  EXPECT_EQ(h.Summation(2, 1), -3006);
  EXPECT_EQ(logs.Count("MPA10016"), 1u);
  EXPECT_EQ(h.polls, 0);
}

TEST(SummationRequestTest, AnswerAfterStopIsStillCachedForTheResend) {
  StatsLogCapture logs;
  StatsHarness h(false);
  ASSERT_EQ(h.client->SetupAggServiceClient(nullptr, nullptr), 0);
  h.rx = 10;
  ASSERT_EQ(h.Summation(1, 0), 0);
  h.Sent(1);
  h.client->StopAggServiceClient();
  EXPECT_EQ(h.client->GetLastSummationStatus(), 1u);
  h.rx = 12;
  // No dispatcher: the answer is lost (-1007) but the protocol moved on and cached it.
  EXPECT_EQ(h.Summation(2, 1), -1007);
  EXPECT_TRUE(logs.Contains("Dispatch message to mpa failed"));
  EXPECT_EQ(h.client->GetLastSummationStatus(), 0u);
  EXPECT_EQ(h.polls, 2);
  EXPECT_EQ(h.Summation(3, 1), -1007);
  EXPECT_EQ(h.polls, 2);
  EXPECT_TRUE(logs.Contains("Status: 'DELTA_RESEND_RESPONSE', resending previous response"));
}

TEST(SummationRequestTest, SmartNicAnswersDeltaRequestsWithAbsoluteValues) {
  // Smart-NIC mode is process-wide and never switched off: run it in a child process.
  EXPECT_EXIT(
      {
        Logger::logLevel.store(loglevel::kFatal);
        StatsHarness h(false, /*persona=*/2);
        bool ok = h.client->SetupAggServiceClient(nullptr, nullptr) == 0 && AggServiceClient::IsSmartNicMode();
        h.rx = 10;
        ok = ok && h.Summation(1, 0) == 0;
        h.rx = 15;
        ok = ok && h.Summation(2, 1) == 0;
        h.rx = 17;
        // An acknowledgement between the last two accepted ones: valid on a smart NIC.
        ok = ok && h.Summation(5, 2) == 0 && h.Summation(8, 3) == 0;
        auto sent = h.Sent(4);
        std::vector<double> values;
        for (const auto& m : sent) {
          msg::SummationStatsResponseMsg response;
          response.ParseFromString(m.payload);
          const auto* t = FindTarget(response.stats(), "rule", "t1");
          values.push_back(t && NamedValue(*t, "rx") ? *NamedValue(*t, "rx") : -1.0);
        }
        ok = ok && values == std::vector<double>({10.0, 15.0, 17.0, 17.0});
        h.client->StopAggServiceClient();
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(OverwriteRequestTest, AnsweredWithAbsoluteValuesFromThePollHandler) {
  StatsHarness h(false);
  ASSERT_EQ(h.client->SetupAggServiceClient(nullptr, nullptr), 0);
  h.rx = 42;
  msg::PullOverwriteStatsRequestMsg request;
  ASSERT_EQ(h.Request(AggServiceClient::kOverwriteRequestTypeId, request.SerializeAsString(), "ow"), 0);
  ASSERT_EQ(h.lastPollType, OVERWRITE);
  h.rx = 43;
  ASSERT_EQ(h.Request(AggServiceClient::kOverwriteRequestTypeId, "", "ow2"), 0);
  auto sent = h.Sent(2);
  EXPECT_EQ(sent[0].typeId, "com.zumbra.qbx.management.agg.messaging.OverwriteStatsResponseMsg");
  EXPECT_EQ(sent[0].correlationId, "ow");
  msg::OverwriteStatsResponseMsg first, second;
  ASSERT_TRUE(first.ParseFromString(sent[0].payload));
  ASSERT_TRUE(second.ParseFromString(sent[1].payload));
  EXPECT_EQ(NamedValue(*FindTarget(first.stats(), "rule", "t1"), "rx"), 42.0);
  EXPECT_EQ(NamedValue(*FindTarget(second.stats(), "rule", "t1"), "rx"), 43.0);
  // Overwrite requests do not touch the summation state.
  EXPECT_EQ(h.client->GetLastSummationStatus(), 0u);
}

// An overwrite adapter whose vertical also returns health-agent metrics.
class MetricsOverwriteAdapter : public AggServiceClient::VerticalAdapter<msg::PullOverwriteStatsRequestMsg> {
 public:
  bool HasPollStatsWithMetrics() override { return true; }
  void PollStats(PollStatType, std::shared_ptr<IStatsStoreFactory>) override { ++plainPolls; }
  void PollStatsWithMetrics(PollStatType type, bool& flag, std::shared_ptr<IStatsStoreFactory> factory,
                            std::vector<std::shared_ptr<MetricsAgentMessage>>& metrics) override {
    EXPECT_EQ(type, OVERWRITE);
    EXPECT_TRUE(flag);
    EXPECT_TRUE(metrics.empty());
    factory->GetTargetStatsStore("t1", "rule", "", "")->AddStat("rx", 7, false);
    for (const char* name : {"m1", "m2"}) {
      auto metric = std::make_shared<MetricsAgentMessage>();
      metric->set_name(name);
      metrics.push_back(metric);
    }
  }
  static int plainPolls;
};
int MetricsOverwriteAdapter::plainPolls = 0;

class MetricsClient : public AggServiceClient {
 public:
  using AggServiceClient::AggServiceClient;
  Adapter* MakeOverwriteStatsAdapter() override { return new MetricsOverwriteAdapter(); }
};

TEST(OverwriteRequestTest, MetricsGoToTheHealthAgentBeforeTheAnswer) {
  auto vertical = std::make_shared<TestVertical>("Metrics", false);
  auto sender = std::make_shared<FakeMpaMessageSender>();
  auto sha = std::make_shared<test::FakeShaClientWrapper>();
  AggServiceClient::Deps deps;
  deps.registrar = std::make_shared<test::FakeMpaVerticalRegistrar>(sender);
  deps.nodePersona = [] { return 0; };
  auto client = std::make_shared<MetricsClient>(vertical, nullptr, sha, deps);
  ASSERT_EQ(client->RegisterPollStatsHandler([](PollStatType, std::shared_ptr<IStatsStoreFactory>) {}), 0);
  ASSERT_EQ(client->SetupAggServiceClient(nullptr, nullptr), 0);
  MsgMetadata metadata(AggServiceClient::kOverwriteRequestTypeId, "c", "r");
  ASSERT_EQ(client->ProcessReceivedMessage("", 0, metadata), 0);
  ASSERT_EQ(sha->MetricCount(), 2u);
  EXPECT_EQ(sha->metrics[0].first, "zumbra.qbx.agg_service.messaging.PullOverwriteStatsRequestMsg");
  EXPECT_EQ(sha->metrics[1].second->name(), "m2");
  EXPECT_EQ(MetricsOverwriteAdapter::plainPolls, 0);
  sender->WaitForSent(1);
  msg::OverwriteStatsResponseMsg response;
  ASSERT_TRUE(response.ParseFromString(sender->Sent()[0].payload));
  EXPECT_EQ(NamedValue(*FindTarget(response.stats(), "rule", "t1"), "rx"), 7.0);
  client->StopAggServiceClient();
}

// An on-demand vertical that records the targets it was asked for.
struct OnDemandHarness : StatsHarness {
  OnDemandHarness() : StatsHarness(false) {
    client->RegisterOnDemandStatsHandler(
        [this](const std::vector<std::shared_ptr<TargetContext>>& targets, std::shared_ptr<IStatsStoreFactory> f) {
          for (const auto& t : targets) {
            asked.push_back(t->targetId);
            f->GetTargetStatsStore(t->targetId, t->metaData.TargetType(), t->metaData.ParentId(),
                                   t->metaData.ParentType())
                ->AddStat("rx", 1, false);
          }
        },
        [this](const std::vector<std::shared_ptr<TargetContextNew>>& targets, std::shared_ptr<IStatsStoreFactory> f) {
          for (const auto& t : targets) {
            askedNew.push_back(t->targetId);
            f->GetTargetStatsStore(t->metaData.StatType(), t->targetId, t->metaData.ParentId())->AddStats({5}, false);
          }
        });
  }
  static msg::TargetStatsRequestMsg Target(const std::string& id, const std::string& type, const std::string& parentId,
                                           const std::string& parentType, std::optional<int32_t> statType) {
    msg::TargetStatsRequestMsg t;
    if (!id.empty()) t.mutable_target_id()->set_string_id(id);
    if (!type.empty()) t.set_target_type(type);
    if (!parentId.empty()) t.mutable_parent_id()->set_string_id(parentId);
    if (!parentType.empty()) t.set_parent_type(parentType);
    if (statType) t.set_stat_type(*statType);
    return t;
  }
  int Ask(const std::vector<msg::TargetStatsRequestMsg>& targets) {
    msg::OnDemandStatsRequestMsg request;
    for (const auto& t : targets) *request.add_target_request() = t;
    return Request(AggServiceClient::kOnDemandRequestTypeId, request.SerializeAsString(), "od");
  }
  std::vector<std::string> asked;
  std::vector<std::string> askedNew;
};

TEST(OnDemandRequestTest, TargetTypeFormAnsweredWithAbsoluteValues) {
  OnDemandHarness h;
  ASSERT_EQ(h.client->SetupAggServiceClient(nullptr, nullptr), 0);
  ASSERT_EQ(h.Ask({OnDemandHarness::Target("p1", "lport", "ls-1", "lswitch", std::nullopt),
                   OnDemandHarness::Target("p2", "lport", "", "", std::nullopt)}),
            0);
  EXPECT_EQ(h.asked, (std::vector<std::string>{"p1", "p2"}));
  auto sent = h.Sent(1);
  EXPECT_EQ(sent[0].typeId, "com.zumbra.qbx.management.agg.messaging.OnDemandStatsResponseMsg");
  EXPECT_EQ(sent[0].correlationId, "od");
  msg::OnDemandStatsResponseMsg response;
  ASSERT_TRUE(response.ParseFromString(sent[0].payload));
  ASSERT_TRUE(FindTarget(response.stats(), "lport", "p1"));
  EXPECT_EQ(NamedValue(*FindTarget(response.stats(), "lport", "p2"), "rx"), 1.0);
}

TEST(OnDemandRequestTest, RequestOverTheTargetBoundIsRefusedWhole) {
  OnDemandHarness h;
  ASSERT_EQ(h.client->SetupAggServiceClient(nullptr, nullptr), 0);
  std::vector<msg::TargetStatsRequestMsg> targets(AggServiceClient::kMaxTargetsPerRequest,
                                                  OnDemandHarness::Target("p", "lport", "", "", std::nullopt));
  ASSERT_EQ(h.Ask(targets), 0);
  EXPECT_EQ(h.asked.size(), AggServiceClient::kMaxTargetsPerRequest);
  h.asked.clear();
  targets.push_back(targets.back());
  EXPECT_EQ(h.Ask(targets), aggresult::kTooManyTargets);
  EXPECT_TRUE(h.asked.empty());  // the vertical is not asked at all
}

TEST(OnDemandRequestTest, FirstTargetDecidesTheFormAndBadTargetsAreLeftOut) {
  StatsLogCapture logs;
  OnDemandHarness h;
  ASSERT_EQ(h.client->SetupAggServiceClient(nullptr, nullptr), 0);
  ASSERT_EQ(h.Ask({OnDemandHarness::Target("v1", "", "p", "", 3),
                   OnDemandHarness::Target("v2", "lport", "", "", std::nullopt)}),
            0);
  EXPECT_EQ(h.askedNew, (std::vector<std::string>{"v1"}));
  EXPECT_TRUE(h.asked.empty());
  EXPECT_EQ(logs.Count("MPA10018"), 1u);
  EXPECT_TRUE(logs.Contains("Creating TargetContextNew instance failed for target: [-1::v2]"));
  msg::OnDemandStatsResponseMsg response;
  ASSERT_TRUE(response.ParseFromString(h.Sent(1)[0].payload));
  ASSERT_TRUE(FindTarget(response.stats(), 3, "v1"));
  EXPECT_EQ(IndexedValue(*FindTarget(response.stats(), 3, "v1"), 0), 5);
}

TEST(OnDemandRequestTest, NothingUsableIsRefused) {
  StatsLogCapture logs;
  OnDemandHarness h;
  ASSERT_EQ(h.client->SetupAggServiceClient(nullptr, nullptr), 0);
  EXPECT_EQ(h.Ask({OnDemandHarness::Target("p1", "lport", "", "lswitch", std::nullopt)}), -3003);
  EXPECT_TRUE(logs.Contains("OnDemand TargetContextList empty, skipping callback"));
  EXPECT_EQ(h.Ask({}), -3003);
  EXPECT_TRUE(logs.Contains("OnDemand statsMsg targetRequest is empty, skipping callback"));
  EXPECT_TRUE(h.asked.empty());
  EXPECT_EQ(h.Request(AggServiceClient::kOnDemandRequestTypeId, std::string("\x0a\xff", 2)), -1002);
  EXPECT_TRUE(h.sender->Sent().empty());

  // No targets is refused before the adapter is looked up; with targets, no adapter is -1003.
  StatsHarness plain(false);
  msg::OnDemandStatsRequestMsg empty;
  EXPECT_EQ(plain.Request(AggServiceClient::kOnDemandRequestTypeId, empty.SerializeAsString()), -3003);
  *empty.add_target_request() = OnDemandHarness::Target("p1", "lport", "", "", std::nullopt);
  EXPECT_EQ(plain.Request(AggServiceClient::kOnDemandRequestTypeId, empty.SerializeAsString()), -1003);
}

struct StatusMsg {
  static std::shared_ptr<GenericRuntimeStatusUpdateMsg> Make(uint64_t ts) {
    auto status = std::make_shared<GenericRuntimeStatusUpdateMsg>();
    status->set_timestamp(ts);
    return status;
  }
};

TEST(RuntimeStatusRequestTest, AnsweredWithTheVerticalsStatusOrAFalseFlag) {
  StatsLogCapture logs;
  StatsHarness h(false);
  std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>> next = StatusMsg::Make(77);
  h.client->RegisterGenericPullHandler<msg::StatsResponseMsg>(
      [&]() { return next; }, [](const auto&, const auto&) { return true; });
  h.client->RegisterPullHandler<msg::OverwriteStatsResponseMsg>(
      [](const std::vector<std::shared_ptr<PullTarget>>&, std::vector<std::shared_ptr<msg::OverwriteStatsResponseMsg>>&) {});
  ASSERT_EQ(h.client->SetupAggServiceClient(nullptr, nullptr), 0);

  auto ask = [&](const std::string& type, const std::string& corr) {
    msg::GenericRuntimeStatusRequestMsg request;
    if (!type.empty()) request.set_target_type(type);
    return h.Request(AggServiceClient::kGenericRuntimeStatusRequestTypeId, request.SerializeAsString(), corr);
  };
  const std::string type = "zumbra.qbx.agg_service.messaging.StatsResponseMsg";
  ASSERT_EQ(ask(type, "s1"), 0);
  next = std::nullopt;
  ASSERT_EQ(ask(type, "s2"), 0);
  // Registered only as a plain pull type, or no type at all: -1 and nothing sent.
  EXPECT_EQ(ask("zumbra.qbx.agg_service.messaging.OverwriteStatsResponseMsg", "s3"), -1);
  EXPECT_EQ(ask("", "s4"), -1);

  auto sent = h.Sent(2);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].typeId, "zumbra.qbx.agg_service.messaging.GenericRuntimeStatusResponseMsg");
  msg::GenericRuntimeStatusResponseMsg first, second;
  ASSERT_TRUE(first.ParseFromString(sent[0].payload));
  ASSERT_TRUE(second.ParseFromString(sent[1].payload));
  EXPECT_EQ(first.target_type(), type);
  EXPECT_TRUE(first.status_obtained());
  GenericRuntimeStatusUpdateMsg status;
  ASSERT_TRUE(status.ParseFromString(first.status()));
  EXPECT_EQ(status.timestamp(), 77u);
  EXPECT_EQ(second.target_type(), type);
  EXPECT_FALSE(second.status_obtained());
  EXPECT_FALSE(second.has_status());
  EXPECT_TRUE(logs.Contains("Generic status Callback failed for " + type));
}

}  // namespace
}  // namespace qbx
