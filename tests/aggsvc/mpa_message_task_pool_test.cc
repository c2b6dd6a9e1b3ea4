// Reuse of finished answer tasks: a reused task carries only its new answer and goes to the
// sender it is given, and the pool stays within its bounds.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/mpa_message_task.h"
#include "aggsvc/vertical_adapter.h"
#include "tests/aggsvc/fakes/test_vertical.h"
#include "zumbra/qbx/agg_service/l2/l2_status.pb.h"

namespace {

using qbx::test::FakeMpaMessageSender;

TEST(MpaMessageTaskPool, ReusedTaskCarriesOnlyItsNewAnswer) {
  auto sender = std::make_shared<FakeMpaMessageSender>();
  MpaMessageTaskPool pool;
  pool.Give(std::make_unique<MpaMessageTask>(sender, std::string(100, 'o'), MsgMetadata("old-type", "old-corr", "old-reply")));
  std::unique_ptr<MpaMessageTask> task = pool.Take();
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(pool.Take(), nullptr);
  std::string payload = "new";
  task->Reuse(sender, payload, MsgMetadata("t", "", "r"));
  EXPECT_EQ(payload, std::string(100, 'o'));  // the caller got the old storage back, to free
  task->Run();
  const auto all = sender->Sent();
  ASSERT_EQ(all.size(), 1u);
  const auto& sent = all[0];
  EXPECT_EQ(sent.payload, "new");
  EXPECT_EQ(sent.typeId, "t");
  EXPECT_EQ(sent.correlationId, "");  // an empty field is not left over from the old answer
  EXPECT_EQ(sent.replyTo, "r");
  EXPECT_TRUE(task->Sent());
}

TEST(MpaMessageTaskPool, StaysWithinItsBoundAndLetsTheSenderGoWithIt) {
  std::weak_ptr<FakeMpaMessageSender> weak;
  {
    MpaMessageTaskPool pool;
    auto sender = std::make_shared<FakeMpaMessageSender>();
    weak = sender;
    for (size_t i = 0; i < MpaMessageTaskPool::kMaxKept + 5; ++i) {
      pool.Give(std::make_unique<MpaMessageTask>(sender, "p", MsgMetadata("t", "c", "r")));
    }
    EXPECT_EQ(pool.Kept(), MpaMessageTaskPool::kMaxKept);
    pool.Give(nullptr);
    EXPECT_EQ(pool.Kept(), MpaMessageTaskPool::kMaxKept);
    // Taking moves the returned tasks to the taking side; giving back fills the other again.
    auto task = pool.Take();
    ASSERT_NE(task, nullptr);
    pool.Give(std::move(task));
    EXPECT_EQ(pool.Kept(), MpaMessageTaskPool::kMaxKept);
    for (size_t i = 0; i < 2 * MpaMessageTaskPool::kMaxKept; ++i) {
      if (!pool.Take()) break;
    }
    EXPECT_EQ(pool.Kept(), 0u);
    EXPECT_EQ(pool.Take(), nullptr);
    for (size_t i = 0; i < 3; ++i) pool.Give(std::make_unique<MpaMessageTask>(sender, "p", MsgMetadata("t", "c", "r")));
  }
  EXPECT_TRUE(weak.expired());  // kept tasks hold the sender no longer than the pool
}

TEST(MpaMessageTaskPool, ReusedTaskSendsThroughTheSenderItIsGiven) {
  auto first = std::make_shared<FakeMpaMessageSender>();
  auto second = std::make_shared<FakeMpaMessageSender>();
  MpaMessageTask task(first, "a", MsgMetadata("t", "c", "r"));
  std::string payload = "b";
  task.Reuse(second, payload, MsgMetadata("t", "c", "r"));
  task.Run();
  EXPECT_TRUE(first->Sent().empty());
  ASSERT_EQ(second->Sent().size(), 1u);
  EXPECT_EQ(second->Sent()[0].payload, "b");
}

TEST(MpaMessageTaskPool, LargePayloadStorageIsNotKept) {
  MpaMessageTaskPool pool;
  pool.Give(std::make_unique<MpaMessageTask>(nullptr, std::string(MpaMessageTaskPool::kMaxKeptPayload + 1, 'x'),
                                             MsgMetadata("t", "c", "r")));
  auto task = pool.Take();
  ASSERT_NE(task, nullptr);
  EXPECT_TRUE(task->GetPayload().empty());
  EXPECT_LE(task->GetPayload().capacity(), MpaMessageTaskPool::kMaxKeptPayload);
}

// A task refilled again and again from one metadata carries that metadata's strings as they
// are at each refill: after a change in place, and after the strings were moved out of it.
TEST(MpaMessageTaskPool, RefilledTaskCarriesItsMetadataAsItIsNow) {
  auto sender = std::make_shared<FakeMpaMessageSender>();
  MpaMessageTask task;
  MpaMessageTask second;
  auto sendFrom = [&](MpaMessageTask& t, const MsgMetadata& metadata) {
    t.Refill(sender, metadata);
    std::string payload = "p";
    t.AddPayload(payload);
    t.Run();
    return sender->Sent().back();
  };
  MsgMetadata source("", "", "");
  source.Assign("type-1", "corr-1", "reply");
  EXPECT_EQ(sendFrom(task, source).correlationId, "corr-1");
  EXPECT_EQ(sendFrom(second, source).correlationId, "corr-1");
  EXPECT_EQ(sendFrom(task, source).correlationId, "corr-1");
  source.Assign("type-1", "corr-2", "reply");
  auto sent = sendFrom(task, source);
  EXPECT_EQ(sent.typeId, "type-1");
  EXPECT_EQ(sent.correlationId, "corr-2");
  EXPECT_EQ(sent.replyTo, "reply");
  EXPECT_EQ(sendFrom(second, source).correlationId, "corr-2");
  // `second` was filled from `source` as it was just before the move; `source` is now what
  // the move left of it.
  MsgMetadata taken(std::move(source));
  sent = sendFrom(second, source);
  EXPECT_EQ(sent.typeId, source.GetTypeId());
  EXPECT_EQ(sent.correlationId, source.GetCorrelationId());
  EXPECT_EQ(sendFrom(second, taken).correlationId, "corr-2");
  MsgMetadata assigned("", "", "");
  assigned = std::move(taken);
  sent = sendFrom(second, taken);
  EXPECT_EQ(sent.correlationId, taken.GetCorrelationId());
}

// Through the client: answers of consecutive requests, each sent before the next request
// comes, so the next one reuses a task; nothing of an earlier answer may leak into a later.
TEST(MpaMessageTaskPool, ConsecutiveRequestsGetTheirOwnMetadata) {
  qbx::test::ClientHarness h;
  namespace l2 = zumbra::qbx::agg_service::l2;
  h.client->RegisterPullHandler<l2::MacTableMsg>(
      [](const std::vector<std::shared_ptr<PullTarget>>& targets, std::vector<std::shared_ptr<l2::MacTableMsg>>& out) {
        for (const auto& t : targets) {
          out.push_back(std::make_shared<l2::MacTableMsg>());
          out.back()->set_target_id(t->GetTargetId());
        }
      });
  ASSERT_EQ(h.Setup(), 0);
  const std::vector<std::string> types = {"com.zumbra.qbx.management.aggservice.l2.MacTableMsg",
                                          "zumbra.qbx.agg_service.l2.MacTableMsg"};
  for (size_t i = 0; i < 20; ++i) {
    const std::string corr = i % 2 == 0 ? std::string(50, static_cast<char>('a' + i)) : std::string("c");
    ASSERT_EQ(h.Pull(types[i % 2], {"target-" + std::to_string(i)}, corr), 0);
    h.sender->WaitForSent(i + 1);
  }
  h.client->StopAggServiceClient();
  auto sent = h.sender->Sent();
  ASSERT_EQ(sent.size(), 20u);
  for (size_t i = 0; i < sent.size(); ++i) {
    l2::MacTableMsg msg;
    ASSERT_TRUE(msg.ParseFromString(sent[i].payload));
    EXPECT_EQ(msg.target_id(), "target-" + std::to_string(i));
    EXPECT_EQ(sent[i].typeId, types[i % 2]);
    EXPECT_EQ(sent[i].correlationId, i % 2 == 0 ? std::string(50, static_cast<char>('a' + i)) : std::string("c"));
  }
}

}  // namespace
