// The hand-over of answer tasks to the dispatcher thread: order, the bound, the drainer's
// scheduling (also under a real producer and dispatcher thread), a throwing send, and what
// happens to tasks nobody took.
#include "aggsvc/mpa_answer_queue.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/task_thread.h"
#include "tests/aggsvc/fakes/fake_mpa_message_sender.h"
#include "tests/aggsvc/fakes/log_capture.h"

namespace {

using qbx::test::FakeMpaMessageSender;
using Push = MpaAnswerQueue::PushResult;

std::unique_ptr<MpaMessageTask> Answers(const std::shared_ptr<MpaMessageSender>& sender, const std::string& corr,
                                        std::vector<std::string> payloads) {
  auto task = std::make_unique<MpaMessageTask>();
  task->Refill(sender, MsgMetadata("type", corr, "reply"));
  for (auto& payload : payloads) task->AddPayload(payload);
  return task;
}

std::vector<std::string> Payloads(FakeMpaMessageSender& sender) {
  std::vector<std::string> out;
  for (const auto& sent : sender.Sent()) out.push_back(sent.payload);
  return out;
}

struct QueueTest : ::testing::Test {
  std::shared_ptr<FakeMpaMessageSender> sender = std::make_shared<FakeMpaMessageSender>();
  std::shared_ptr<MpaMessageTaskPool> pool = std::make_shared<MpaMessageTaskPool>();
  std::shared_ptr<MpaAnswerQueue> queue = std::make_shared<MpaAnswerQueue>(3, pool, nullptr);
};

TEST_F(QueueTest, RunsWhatIsPushedInOrderAndAsksForADrainerOnlyWhenNoneIsScheduled) {
  auto first = Answers(sender, "c1", {"a", "b"});
  auto second = Answers(sender, "c2", {"c"});
  EXPECT_EQ(queue->Push(first), Push::kStartDrainer);
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(queue->Push(second), Push::kQueued);
  EXPECT_EQ(queue->Waiting(), 2u);
  queue->MakeDrainer()->Run();  // returns once nothing more comes
  EXPECT_EQ(Payloads(*sender), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(sender->Sent()[2].correlationId, "c2");
  EXPECT_EQ(queue->Waiting(), 0u);
  EXPECT_EQ(pool->Kept(), 2u);  // both went back for reuse
  auto third = Answers(sender, "c3", {"d"});
  EXPECT_EQ(queue->Push(third), Push::kStartDrainer);  // the finished drainer let go
}

TEST_F(QueueTest, AFullQueueRefusesAndLeavesTheTaskWithTheCaller) {
  for (int i = 0; i < 3; ++i) {
    auto task = Answers(sender, "c", {"p"});
    EXPECT_NE(queue->Push(task), Push::kFull) << i;
  }
  auto refused = Answers(sender, "lost", {"x"});
  EXPECT_EQ(queue->Push(refused), Push::kFull);
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->GetCorrelationId(), "lost");
  queue->MakeDrainer()->Run();
  EXPECT_EQ(queue->Push(refused), Push::kStartDrainer);  // room again once the drainer took them
}

TEST_F(QueueTest, TakeBackReturnsEverythingInPushOrderAndUnschedules) {
  auto a = Answers(sender, "a", {"1"});
  auto b = Answers(sender, "b", {"2"});
  ASSERT_EQ(queue->Push(a), Push::kStartDrainer);
  ASSERT_EQ(queue->Push(b), Push::kQueued);
  auto back = queue->TakeBack();
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0]->GetCorrelationId(), "a");
  EXPECT_EQ(back[1]->GetCorrelationId(), "b");
  EXPECT_EQ(queue->Waiting(), 0u);
  EXPECT_EQ(queue->Push(back[0]), Push::kStartDrainer);
  EXPECT_TRUE(sender->Sent().empty());
}

class ThrowingSender : public FakeMpaMessageSender {
 public:
  bool SendMsgToMpaWrapper(const std::string& payload, const std::string& typeId, const std::string& correlationId,
                           const std::string& replyTo) override {
    if (payload == "boom") throw std::runtime_error("channel gone");
    return FakeMpaMessageSender::SendMsgToMpaWrapper(payload, typeId, correlationId, replyTo);
  }
};

TEST_F(QueueTest, AThrowingSendLosesOnlyItsOwnAnswerAndIsRecorded) {
  qbx::test::LogCapture logs;
  auto throwing = std::make_shared<ThrowingSender>();
  auto first = Answers(throwing, "c1", {"x", "boom", "y"});
  auto second = Answers(throwing, "c2", {"z"});
  queue->Push(first);
  queue->Push(second);
  queue->MakeDrainer()->Run();
  EXPECT_EQ(Payloads(*throwing), (std::vector<std::string>{"x", "y", "z"}));
  EXPECT_EQ(logs.CountAll({"MPA10070", "threw exception"}), 1u);
  EXPECT_EQ(pool->Kept(), 2u);
}

TEST_F(QueueTest, TasksNobodyTookAreFreedWithTheQueueUnsent) {
  std::weak_ptr<FakeMpaMessageSender> weak = sender;
  auto task = Answers(sender, "c", {"p"});
  queue->Push(task);
  sender.reset();
  queue.reset();
  EXPECT_TRUE(weak.expired());  // the task, which held the sender, is gone
}

// A producer and the dispatcher thread at full speed: the drainer finishes and is scheduled
// again many times, racing with the pushes, and still every answer arrives, once, in order.
TEST(MpaAnswerQueueThreads, NothingIsLostOrReorderedWhileDrainersComeAndGo) {
  auto sender = std::make_shared<FakeMpaMessageSender>();
  auto pool = std::make_shared<MpaMessageTaskPool>();
  TaskThread dispatcher;
  auto queue = std::make_shared<MpaAnswerQueue>(TaskThread::kDefaultCapacity, pool, &dispatcher);
  dispatcher.Start();
  constexpr int kAnswers = 20000;
  std::thread producer([&] {
    for (int i = 0; i < kAnswers; ++i) {
      std::unique_ptr<MpaMessageTask> task = pool->Take();
      if (!task) task = std::make_unique<MpaMessageTask>();
      task->Refill(sender, MsgMetadata("t", "c", "r"));
      std::string payload = std::to_string(i);
      task->AddPayload(payload);
      if (queue->Push(task) == Push::kStartDrainer) {
        std::unique_ptr<Runnable> drainer = queue->MakeDrainer();
        ASSERT_EQ(dispatcher.OfferTask(drainer), 0);
      }
      // Now and then a pause longer than the drainer's spin, so that it finishes.
      if (i % 997 == 0) std::this_thread::sleep_for(MpaAnswerQueue::kSpinBudget * 3);
    }
  });
  producer.join();
  dispatcher.RequestStop();
  dispatcher.Join();
  const auto sent = sender->Sent();
  ASSERT_EQ(sent.size(), static_cast<size_t>(kAnswers));
  for (int i = 0; i < kAnswers; ++i) ASSERT_EQ(sent[i].payload, std::to_string(i));
  EXPECT_EQ(queue->Waiting(), 0u);
}

TEST(MpaMessageTaskAnswers, RefillSendsOnlyTheNewAnswersWithOneMetadata) {
  auto sender = std::make_shared<FakeMpaMessageSender>();
  auto task = Answers(sender, std::string(40, 'k'), {"1", "2", "3"});
  task->Run();
  EXPECT_TRUE(task->Sent());
  task->Retire();
  task->Refill(sender, MsgMetadata("other", "c", ""));
  std::string payload = "4";
  task->AddPayload(payload);
  EXPECT_EQ(payload, "1");  // the caller got the place's old storage back, to free
  task->Run();
  const auto sent = sender->Sent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[2].correlationId, std::string(40, 'k'));
  EXPECT_EQ(sent[3].payload, "4");
  EXPECT_EQ(sent[3].typeId, "other");
  EXPECT_EQ(sent[3].correlationId, "c");
  EXPECT_EQ(sent[3].replyTo, "");  // an empty field is not left over from the old answers
}

TEST(MpaMessageTaskAnswers, RetireLetsLargeAndSurplusStorageGo) {
  auto task = Answers(nullptr, "c", std::vector<std::string>(MpaMessageTask::kMaxKeptPayloads + 4, "p"));
  std::string big(MpaMessageTaskPool::kMaxKeptPayload + 1, 'x');
  task->Refill(nullptr, MsgMetadata("t", "c", "r"));
  task->AddPayload(big);
  task->Retire();
  EXPECT_LE(task->GetPayload(0).capacity(), MpaMessageTaskPool::kMaxKeptPayload);
  // Refilled with more answers than places were kept: all of them still go.
  auto sender = std::make_shared<FakeMpaMessageSender>();
  task->Refill(sender, MsgMetadata("t", "c", "r"));
  for (size_t i = 0; i < MpaMessageTask::kMaxKeptPayloads + 2; ++i) {
    std::string payload = "n" + std::to_string(i);
    task->AddPayload(payload);
  }
  task->Run();
  ASSERT_EQ(sender->Sent().size(), MpaMessageTask::kMaxKeptPayloads + 2);
  EXPECT_EQ(sender->Sent().back().payload, "n" + std::to_string(MpaMessageTask::kMaxKeptPayloads + 1));
}

TEST(MpaMessageTaskAnswers, WithoutASenderEveryAnswerIsDroppedWithARecord) {
  qbx::test::LogCapture logs;
  auto task = Answers(nullptr, "corr-9", {"a", "b"});
  task->Run();
  EXPECT_FALSE(task->Sent());
  EXPECT_EQ(logs.CountAll({"No sender for message type: type correlationId: corr-9"}), 2u);
}

// A channel that takes the first answer of each request and refuses the others as answered
// already; "fail" fails and "boom" throws, whatever the request.
class OneReplySender : public FakeMpaMessageSender {
 public:
  SendResult SendAnswer(const std::string& payload, const std::string& typeId, const std::string& correlationId,
                        const std::string& replyTo) override {
    if (payload == "boom") throw std::runtime_error("channel gone");
    if (payload == "fail") return SendResult::kFailed;
    if (!answered.insert(correlationId).second) return SendResult::kAlreadyAnswered;
    FakeMpaMessageSender::SendMsgToMpaWrapper(payload, typeId, correlationId, replyTo);
    return SendResult::kSent;
  }
  std::set<std::string> answered;
};

TEST(MpaMessageTaskAnswers, AnswersRefusedAsAlreadyAnsweredGetOneWarningWithTheirNumber) {
  qbx::test::LogCapture logs;
  auto sender = std::make_shared<OneReplySender>();
  auto task = Answers(sender, "corr-1", std::vector<std::string>(500, "p"));
  task->Run();
  EXPECT_EQ(sender->Sent().size(), 1u);
  EXPECT_FALSE(task->Sent());
  EXPECT_EQ(logs.Count("further replies dropped"), 1u);
  EXPECT_EQ(logs.CountAll({"WARNING", "Request already answered, 499 further replies dropped - messageType: type "
                                      "correlationId: corr-1"}),
            1u);
  // A later task of the same request: all its answers are extras, reported by its own record.
  logs.Clear();
  auto later = Answers(sender, "corr-1", {"q", "r"});
  later->Run();
  EXPECT_EQ(logs.CountAll({"2 further replies dropped", "corr-1"}), 1u);
}

TEST(MpaMessageTaskAnswers, OtherFailuresAreNotCountedAsAnsweredAndAThrowStillReports) {
  qbx::test::LogCapture logs;
  auto sender = std::make_shared<OneReplySender>();
  auto task = Answers(sender, "corr-2", {"a", "fail", "b", "boom", "c"});
  EXPECT_THROW(task->Run(), std::runtime_error);
  EXPECT_EQ(sender->Sent().size(), 1u);
  EXPECT_EQ(logs.CountAll({"Request already answered, 2 further replies dropped", "corr-2"}), 1u);
  // Every answer taken: no record, and the task counts as sent.
  logs.Clear();
  auto single = Answers(sender, "corr-3", {"only"});
  single->Run();
  EXPECT_TRUE(single->Sent());
  EXPECT_EQ(logs.Count("further replies dropped"), 0u);
}

}  // namespace
