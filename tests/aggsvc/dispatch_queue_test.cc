// The client's outgoing queue when its sender stalls: the queue stops growing at its bound,
// every answer beyond it is refused with a record naming it, and whatever was queued still
// goes out, in order, when the sender recovers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical_adapter.h"
#include "core/task_thread.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/aggsvc/fakes/test_vertical.h"
#include "zumbra/qbx/agg_service/l2/l2_status.pb.h"

namespace {

using qbx::test::ClientHarness;

TEST(DispatchQueue, StalledSenderBoundsTheQueueAndEveryRefusalIsNamed) {
  qbx::test::LogCapture logs;
  // Errors only: tens of thousands of queued answers would otherwise each leave debug lines.
  qbx::Logger::logLevel.store(qbx::loglevel::kError);
  ClientHarness h;
  h.client->RegisterPullHandler<zumbra::qbx::agg_service::l2::MacTableMsg>(
      [](const std::vector<std::shared_ptr<PullTarget>>& targets,
         std::vector<std::shared_ptr<zumbra::qbx::agg_service::l2::MacTableMsg>>& out) {
        for (size_t i = 0; i < targets.size(); ++i) out.push_back(std::make_shared<zumbra::qbx::agg_service::l2::MacTableMsg>());
      });
  ASSERT_EQ(h.Setup(), 0);
  h.sender->Hold(true);
  ASSERT_EQ(h.client->CreateAndEnqueueMpaMessageTask("first", MsgMetadata("t", "c-first", "r")), 0);
  h.sender->WaitForSendsStarted(1);  // the worker is stuck in the sender; the queue is empty
  const size_t capacity = TaskThread::kDefaultCapacity;
  for (size_t i = 0; i < capacity; ++i) {
    ASSERT_EQ(h.client->CreateAndEnqueueMpaMessageTask("p", MsgMetadata("t", "c", "r")), 0) << i;
  }
  EXPECT_EQ(h.client->CreateAndEnqueueMpaMessageTask("lost", MsgMetadata("t", "c-lost", "r")),
            aggresult::kNoDispatcherThread);
  EXPECT_EQ(logs.CountAll({"mpaDispatcherThread refused message", "correlationId: c-lost"}), 1u);
  EXPECT_EQ(logs.Count("queue is full"), 1u);
  // A pull's answers to one type are handed over together: refused together, said once.
  EXPECT_EQ(h.Pull("zumbra.qbx.agg_service.l2.MacTableMsg", {"a", "b", "c"}, "c-pull"), aggresult::kNoDispatcherThread);
  EXPECT_EQ(logs.CountAll({"mpaDispatcherThread refused message", "correlationId: c-pull"}), 1u);
  EXPECT_EQ(logs.CountAll({"MPA10011", "Dispatch message to mpa failed"}), 1u);
  h.sender->Hold(false);
  h.client->StopAggServiceClient();
  auto sent = h.sender->Sent();
  ASSERT_EQ(sent.size(), capacity + 1);
  EXPECT_EQ(sent.front().correlationId, "c-first");
  EXPECT_EQ(sent.back().payload, "p");
  EXPECT_EQ(sent.back().correlationId, "c");  // nothing of the refused pull went out
}

TEST(DispatchQueue, AnswersOfOneRequestShareItsMetadataAndKeepTheirOrder) {
  ClientHarness h;
  h.client->RegisterPullHandler<zumbra::qbx::agg_service::l2::MacTableMsg>(
      [](const std::vector<std::shared_ptr<PullTarget>>& targets,
         std::vector<std::shared_ptr<zumbra::qbx::agg_service::l2::MacTableMsg>>& out) {
        for (const auto& t : targets) {
          out.push_back(std::make_shared<zumbra::qbx::agg_service::l2::MacTableMsg>());
          out.back()->set_target_id(t->GetTargetId());
        }
      });
  ASSERT_EQ(h.Setup(), 0);
  // Two target requests of one pull: each one's answers carry its own type, the last answer of
  // the first must not leave the second without metadata.
  zumbra::qbx::agg_service::messaging::ClientDataRequestMsg request;
  for (const char* type : {"com.zumbra.qbx.management.aggservice.l2.MacTableMsg", "zumbra.qbx.agg_service.l2.MacTableMsg"}) {
    auto* target = request.add_target_data_request();
    target->set_target_type(type);
    target->add_target_id(std::string(type) + "/1");
    target->add_target_id(std::string(type) + "/2");
  }
  const std::string payload = request.SerializeAsString();
  const std::string correlation(40, 'k');  // longer than any inline string buffer
  ASSERT_EQ(h.client->ProcessReceivedMessage(payload.data(), static_cast<int32_t>(payload.size()),
                                             MsgMetadata(AggServiceClient::kClientDataRequestTypeId, correlation,
                                                         "reply-q")),
            0);
  h.client->StopAggServiceClient();
  auto sent = h.sender->Sent();
  ASSERT_EQ(sent.size(), 4u);
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].typeId, request.target_data_request(static_cast<int>(i / 2)).target_type()) << i;
    EXPECT_EQ(sent[i].correlationId, correlation) << i;
    EXPECT_EQ(sent[i].replyTo, "reply-q") << i;
  }
}

}  // namespace
