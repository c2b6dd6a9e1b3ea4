#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "channels/health/sha_client_wrapper_impl.h"
#include "tests/channels/fakes/monitoring_fakes.h"

namespace qbx::AggSvc {
namespace {

using qbx::StatusSource::testing::LogCapture;
using qbx::StatusSource::testing::RecordingStatusSource;
using sha::ShaPmClient;

struct ShaClientWrapperTest : ::testing::Test {
  void SetUp() override {
    client = std::make_shared<ShaPmClient>("aggsvc-framework");
    wrapper = std::make_shared<ShaClientWrapperImpl>(client, "qbx-exporter");
    source = std::make_shared<RecordingStatusSource>();
    wrapper->SetStatusSource(source);
  }
  std::shared_ptr<ShaPmClient> client;
  std::shared_ptr<ShaClientWrapperImpl> wrapper;
  std::shared_ptr<RecordingStatusSource> source;
};

TEST_F(ShaClientWrapperTest, StartSubscribesToTheThreeEventsAndRunsTheHeartbeat) {
  EXPECT_EQ(client->ProcessName(), "qbx-exporter");
  wrapper->Start();
  EXPECT_TRUE(client->IsStarted());
  EXPECT_TRUE(client->IsHeartbeatRunning());
  EXPECT_EQ(client->HeartbeatIntervalSeconds(), 5);
  EXPECT_EQ(client->HeartbeatTimeoutSeconds(), 30);
  EXPECT_EQ(client->SubscribedEvents(),
            (std::set<sha::ShaEventType>{sha::ShaEventTypeChannelRecover, sha::ShaEventTypeMetricManagerConfigPresent,
                                         sha::ShaEventTypeMetricManagerConfigRevoked}));
  // Not subscribed, so never delivered.
  EXPECT_FALSE(client->FireEventForTest(sha::ShaEventTypeMetricManagerChannelDown));
}

TEST_F(ShaClientWrapperTest, EventsSwitchTheTsdbFlagAndAskForFullSyncs) {
  wrapper->Start();
  EXPECT_FALSE(wrapper->IsTsdbEnabled());

  ASSERT_TRUE(client->FireEventForTest(sha::ShaEventTypeMetricManagerConfigPresent));
  EXPECT_TRUE(wrapper->IsTsdbEnabled());
  EXPECT_EQ(source->full_sync_requests, 1);

  ASSERT_TRUE(client->FireEventForTest(sha::ShaEventTypeMetricManagerConfigRevoked));
  EXPECT_FALSE(wrapper->IsTsdbEnabled());
  EXPECT_EQ(source->full_sync_requests, 1) << "revocation asks for no full sync";

  ASSERT_TRUE(client->FireEventForTest(sha::ShaEventTypeChannelRecover));
  EXPECT_FALSE(wrapper->IsTsdbEnabled()) << "channel recovery leaves the flag alone";
  EXPECT_EQ(source->full_sync_requests, 2);

  ASSERT_TRUE(client->FireEventForTest(sha::ShaEventTypeMetricManagerConfigPresent));
  EXPECT_TRUE(wrapper->IsTsdbEnabled());
  EXPECT_EQ(source->full_sync_requests, 3);
  EXPECT_EQ(source->full_sync_needed, 0);
}

TEST_F(ShaClientWrapperTest, UnknownAndUnhandledEventsAreLoggedOnly) {
  LogCapture log(loglevel::kInfo);
  EXPECT_EQ(ShaClientWrapperImpl::ShaEventTypeString(42), "");
  EXPECT_TRUE(log.Has("ShaEventTypeString: Unknown event type (42)."));
  auto event = std::make_shared<sha::ShaEventNotify>();
  event->type = sha::ShaEventTypeMetricManagerHealthChange;
  wrapper->EventNotifyCb(event);
  EXPECT_TRUE(log.Has("ShaPmClient EventNotifyCb unhandled event (4), (ShaEventTypeMetricManagerHealthChange)."));
  wrapper->EventNotifyCb(nullptr);  // must not crash
  EXPECT_FALSE(wrapper->IsTsdbEnabled());
  EXPECT_EQ(source->full_sync_requests, 0);
}

TEST_F(ShaClientWrapperTest, SendMetricPrefixesTheKeyAndMarksFullSyncNeededOnFailure) {
  wrapper->Start();
  auto metric = std::make_shared<MetricsAgentMessage>();
  metric->set_name("cpu");
  metric->set_value(12.5);
  EXPECT_TRUE(wrapper->SendMetric("cpu", metric));
  auto sent = client->SentMetricsForTest();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].key, "tsdb.cpu");
  EXPECT_DOUBLE_EQ(sent[0].value.value(), 12.5);
  EXPECT_EQ(source->full_sync_needed, 0);

  LogCapture log(loglevel::kWarning);
  client->FailSendMetricForTest(-5, 1);
  EXPECT_TRUE(wrapper->SendMetric("cpu", metric)) << "a failed send still answers true";
  EXPECT_EQ(source->full_sync_needed, 1);
  EXPECT_TRUE(log.Has("SHA send metric failed, fullSync needed"));
  EXPECT_TRUE(wrapper->SendMetric("cpu", metric));
  EXPECT_EQ(source->full_sync_needed, 1) << "only the forced send failed; nothing is retried";
  EXPECT_EQ(client->SentMetricsForTest().size(), 2u);
}

TEST_F(ShaClientWrapperTest, SendBeforeStartOrWithoutValueFailsSafely) {
  EXPECT_TRUE(wrapper->SendMetric("mem", std::make_shared<MetricsAgentMessage>()));
  EXPECT_EQ(source->full_sync_needed, 1) << "the client is not started yet";
  wrapper->Start();
  EXPECT_TRUE(wrapper->SendMetric("mem", nullptr));
  EXPECT_EQ(source->full_sync_needed, 2);
}

TEST_F(ShaClientWrapperTest, StopTwiceStopsTheClientTwice) {
  wrapper->Start();
  wrapper->Stop();
  wrapper->Stop();
  EXPECT_EQ(client->StopCount(), 2);
  EXPECT_FALSE(client->IsHeartbeatRunning());
  EXPECT_FALSE(client->IsStarted());
}

TEST(ShaClientWrapperNullClient, StartAndStopOnlyLog) {
  LogCapture log(loglevel::kInfo);
  auto wrapper = std::make_shared<ShaClientWrapperImpl>(nullptr, "qbx-exporter");
  wrapper->Start();
  wrapper->Stop();
  EXPECT_EQ(log.Count("ShaPmClient is null"), 2);
  EXPECT_TRUE(wrapper->SendMetric("x", std::make_shared<MetricsAgentMessage>()));
}

TEST(ShaClientWrapperLifetime, EventAfterWrapperIsGoneDoesNothing) {
  auto client = std::make_shared<ShaPmClient>("aggsvc-framework");
  auto source = std::make_shared<RecordingStatusSource>();
  {
    auto wrapper = std::make_shared<ShaClientWrapperImpl>(client, "qbx-exporter");
    wrapper->SetStatusSource(source);
    wrapper->Start();
  }
  EXPECT_TRUE(client->FireEventForTest(sha::ShaEventTypeChannelRecover));
  EXPECT_EQ(source->full_sync_requests, 0);
}

TEST(ShaClientWrapperConcurrency, EventsAndReadersOnManyThreads) {
  auto client = std::make_shared<ShaPmClient>("aggsvc-framework");
  auto wrapper = std::make_shared<ShaClientWrapperImpl>(client, "qbx-exporter");
  auto source = std::make_shared<RecordingStatusSource>();
  wrapper->SetStatusSource(source);
  wrapper->Start();
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      auto metric = std::make_shared<MetricsAgentMessage>();
      while (!stop) {
        if (wrapper->IsTsdbEnabled()) wrapper->SendMetric("k", metric);
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    client->FireEventForTest(i % 2 == 0 ? sha::ShaEventTypeMetricManagerConfigPresent
                                        : sha::ShaEventTypeMetricManagerConfigRevoked);
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_FALSE(wrapper->IsTsdbEnabled());
  EXPECT_EQ(source->full_sync_requests, 100);
}

}  // namespace
}  // namespace qbx::AggSvc
