// Every answer of a client, client-data answers included, passes through the overridable
// CreateAndEnqueueMpaMessageTask: a subclass sees each one, may refuse it or send one of its
// own in between, and the answers still leave in the order they were made.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical_adapter.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/aggsvc/fakes/test_vertical.h"
#include "zumbra/qbx/agg_service/l2/l2_status.pb.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace {

namespace l2 = zumbra::qbx::agg_service::l2;
namespace msg = zumbra::qbx::agg_service::messaging;
constexpr const char* kMpMacTable = "com.zumbra.qbx.management.aggservice.l2.MacTableMsg";

// Records every answer it is given; refuses the answer numbered `refuse` (from 1) and sends
// a note of its own before the answer numbered `noteBefore`.
class WatchingClient : public AggServiceClient {
 public:
  using AggServiceClient::AggServiceClient;

  int CreateAndEnqueueMpaMessageTask(std::string payload, const MsgMetadata& metadata) override {
    seen.push_back(metadata.GetTypeId() + "|" + metadata.GetCorrelationId() + "|" + payload);
    const size_t number = seen.size();
    if (number == refuse) return aggresult::kNoDispatcherThread;
    if (number == noteBefore) {
      const int noted = AggServiceClient::CreateAndEnqueueMpaMessageTask("note", MsgMetadata("audit", "n", "r"));
      if (noted < 0) return noted;
    }
    return AggServiceClient::CreateAndEnqueueMpaMessageTask(std::move(payload), metadata);
  }

  std::vector<std::string> seen;
  size_t refuse = 0;
  size_t noteBefore = 0;
};

class AnswerPath : public ::testing::Test {
 protected:
  void SetUp() override {
    AggServiceClient::Deps deps{registrar, [] { return 0; }};
    client = std::make_shared<WatchingClient>(vertical, statusSource, sha, deps);
    // One MacTableMsg per requested target, its payload the target id.
    client->RegisterPullHandler<l2::MacTableMsg>(
        [](const std::vector<std::shared_ptr<PullTarget>>& targets, std::vector<std::shared_ptr<l2::MacTableMsg>>& out) {
          for (const auto& t : targets) {
            out.push_back(std::make_shared<l2::MacTableMsg>());
            out.back()->set_target_id(t->GetTargetId());
          }
        });
    client->RegisterPollStatsHandler([](qbx::PollStatType, std::shared_ptr<qbx::IStatsStoreFactory> factory) {
      factory->GetTargetStatsStore("t1", "rule", "", "")->AddStat("rx", 7, false);
    });
    ASSERT_EQ(client->SetupAggServiceClient(nullptr, nullptr), 0);
  }
  void TearDown() override { client->StopAggServiceClient(); }

  int Pull(const std::vector<std::string>& ids) {
    msg::ClientDataRequestMsg request;
    auto* target = request.add_target_data_request();
    target->set_target_type(kMpMacTable);
    for (const auto& id : ids) target->add_target_id(id);
    const std::string payload = request.SerializeAsString();
    return client->ProcessReceivedMessage(payload.data(), static_cast<int32_t>(payload.size()),
                                          MsgMetadata(AggServiceClient::kClientDataRequestTypeId, "corr-1", "reply-q"));
  }
  static std::string Payload(const std::string& targetId) {
    l2::MacTableMsg answer;
    answer.set_target_id(targetId);
    return answer.SerializeAsString();
  }
  // What went out, as "type|correlation|payload", once the dispatcher has sent `count`.
  std::vector<std::string> Sent(size_t count) {
    client->StopAggServiceClient();
    std::vector<std::string> out;
    for (const auto& m : sender->Sent()) out.push_back(m.typeId + "|" + m.correlationId + "|" + m.payload);
    EXPECT_EQ(out.size(), count);
    return out;
  }

  qbx::test::LogCapture logs;
  std::shared_ptr<Vertical> vertical = std::make_shared<qbx::test::TestVertical>("TestVertical");
  std::shared_ptr<qbx::test::FakeStatusSource> statusSource = std::make_shared<qbx::test::FakeStatusSource>();
  std::shared_ptr<qbx::test::FakeShaClientWrapper> sha = std::make_shared<qbx::test::FakeShaClientWrapper>();
  std::shared_ptr<qbx::test::FakeMpaMessageSender> sender = std::make_shared<qbx::test::FakeMpaMessageSender>();
  std::shared_ptr<qbx::test::FakeMpaVerticalRegistrar> registrar =
      std::make_shared<qbx::test::FakeMpaVerticalRegistrar>(sender);
  std::shared_ptr<WatchingClient> client;
};

TEST_F(AnswerPath, ClientDataAndStatisticsAnswersAllPassThroughTheOverride) {
  EXPECT_EQ(Pull({"a", "b", "c"}), 0);
  msg::PullOverwriteStatsRequestMsg overwrite;
  const std::string bytes = overwrite.SerializeAsString();
  EXPECT_EQ(client->ProcessReceivedMessage(bytes.data(), static_cast<int32_t>(bytes.size()),
                                           MsgMetadata(AggServiceClient::kOverwriteRequestTypeId, "corr-2", "reply-q")),
            0);
  ASSERT_EQ(client->seen.size(), 4u);
  const std::string prefix = std::string(kMpMacTable) + "|corr-1|";
  EXPECT_EQ(client->seen[0], prefix + Payload("a"));
  EXPECT_EQ(client->seen[2], prefix + Payload("c"));
  EXPECT_EQ(client->seen[3].rfind("com.zumbra.qbx.management.agg.messaging.OverwriteStatsResponseMsg|corr-2|", 0), 0u);
  auto sent = Sent(4);
  EXPECT_EQ(std::vector<std::string>(client->seen.begin(), client->seen.begin() + 3),
            std::vector<std::string>(sent.begin(), sent.begin() + 3));
}

TEST_F(AnswerPath, ARefusedAnswerStopsTheRestAndKeepsThoseBeforeIt) {
  client->refuse = 2;
  EXPECT_EQ(Pull({"a", "b", "c"}), aggresult::kNoDispatcherThread);
  EXPECT_EQ(client->seen.size(), 2u);  // the third is not offered
  EXPECT_EQ(logs.CountAll({"MPA10011", "Dispatch message to mpa failed"}), 1u);
  auto sent = Sent(1);
  EXPECT_EQ(sent[0], std::string(kMpMacTable) + "|corr-1|" + Payload("a"));
}

TEST_F(AnswerPath, AnAnswerOfTheSubclassBetweenThemKeepsTheOrder) {
  client->noteBefore = 2;
  EXPECT_EQ(Pull({"a", "b", "c"}), 0);
  EXPECT_EQ(Pull({"d"}), 0);  // a later request starts afresh
  const std::string prefix = std::string(kMpMacTable) + "|corr-1|";
  auto sent = Sent(5);
  EXPECT_EQ(sent, (std::vector<std::string>{prefix + Payload("a"), "audit|n|note", prefix + Payload("b"),
                                            prefix + Payload("c"), prefix + Payload("d")}));
}

}  // namespace
