// The wait for an inbound socket: probes on a growing back-off, the repaired directory is
// taken at the next probe, and the wait gives up, once and with the reason, when the bound is
// reached; the daemon's own schedule gives up after 5 minutes. Time is a manual clock.
#include "platform/runtime/listen_retry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/process_exit.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"
#include "tests/aggsvc/fakes/log_capture.h"

namespace qbx {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class ListenRetryTest : public ::testing::Test {
 protected:
  // 1 s, doubling up to 4 s, for 20 s: probes at 0, 1, 3, 7, 11, 15, 19 and 20 s.
  static constexpr ListenRetry::Schedule kTestSchedule{seconds(1), seconds(4), seconds(20)};

  void Start(const ListenRetry::Schedule& schedule = kTestSchedule) {
    retry_ = ListenRetry::Start(
        provider_, schedule,
        [this] {
          probedAt_.push_back(std::chrono::duration_cast<milliseconds>(clock_->Now() - start_));
          return repaired_ ? std::string() : "'/run/rpc' is not a directory of this user; not listening there";
        },
        [this](const std::string& why) { outcomes_.push_back(why); });
  }
  std::vector<milliseconds> Ms(std::vector<int> values) {
    std::vector<milliseconds> out;
    for (int v : values) out.push_back(milliseconds(v));
    return out;
  }

  test::LogCapture logs_;
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  ManualClock::time_point start_ = clock_->Now();
  AsioQbxProvider provider_{{}, "listen-retry-test", clock_};
  bool repaired_ = false;
  std::vector<milliseconds> probedAt_;
  std::vector<std::string> outcomes_;
  std::shared_ptr<ListenRetry> retry_;
};

TEST_F(ListenRetryTest, AUsableDirectoryIsTakenAtOnceWithoutARecord) {
  repaired_ = true;
  Start();
  EXPECT_EQ(outcomes_, std::vector<std::string>{""});
  clock_->Advance(seconds(30));
  EXPECT_EQ(probedAt_, Ms({0}));
  EXPECT_EQ(logs_.Count("ListenRetry"), 0u);
}

TEST_F(ListenRetryTest, ARepairedDirectoryIsTakenAtTheNextProbeOfTheBackOff) {
  Start();
  clock_->Advance(milliseconds(999));
  EXPECT_EQ(probedAt_, Ms({0}));
  clock_->Advance(milliseconds(1));
  clock_->Advance(seconds(2));
  EXPECT_EQ(probedAt_, Ms({0, 1000, 3000}));
  EXPECT_TRUE(outcomes_.empty());
  EXPECT_EQ(logs_.CountAll({"Inbound services cannot listen yet (1000 ms since the first try), trying again in 2000 ms",
                            "not listening there"}),
            1u);

  // Repaired at 5 s: taken at the probe of 7 s, and nothing is probed afterwards.
  clock_->Advance(seconds(2));
  repaired_ = true;
  clock_->Advance(seconds(2));
  EXPECT_EQ(probedAt_, Ms({0, 1000, 3000, 7000}));
  EXPECT_EQ(outcomes_, std::vector<std::string>{""});
  EXPECT_EQ(logs_.Count("Inbound services can listen after 7000 ms"), 1u);
  clock_->Advance(seconds(60));
  EXPECT_EQ(probedAt_.size(), 4u);
  EXPECT_EQ(outcomes_.size(), 1u);
}

TEST_F(ListenRetryTest, ADirectoryNeverRepairedIsGivenUpOnceAtTheBoundWithTheReason) {
  Start();
  clock_->Advance(milliseconds(19999));
  EXPECT_TRUE(outcomes_.empty());
  // The delays stop growing at the maximum, and the last one is cut to end at the bound.
  EXPECT_EQ(probedAt_, Ms({0, 1000, 3000, 7000, 11000, 15000, 19000}));
  EXPECT_EQ(logs_.Count("trying again in 1000 ms"), 2u);

  clock_->Advance(milliseconds(1));
  EXPECT_EQ(probedAt_.back(), milliseconds(20000));
  EXPECT_EQ(outcomes_,
            std::vector<std::string>{"'/run/rpc' is not a directory of this user; not listening there"});
  EXPECT_EQ(logs_.CountAll({"errorCode=\"RPC200\"", "Inbound services still cannot listen after 20000 ms, giving up",
                            "not listening there"}),
            1u);
  clock_->Advance(seconds(60));
  EXPECT_EQ(probedAt_.size(), 8u);
  EXPECT_EQ(outcomes_.size(), 1u);
}

// What lets a supervisor restart a deaf daemon: the daemon's schedule tries at 0, 1, 3, 7, 15,
// 31 and 61 s, then every 30 s, and gives up at 300 s, not later.
TEST_F(ListenRetryTest, TheDaemonsScheduleTriesOnTheBackOffAndGivesUpAtFiveMinutes) {
  Start(ListenRetry::kSchedule);
  clock_->Advance(milliseconds(299999));
  EXPECT_EQ(probedAt_, Ms({0, 1000, 3000, 7000, 15000, 31000, 61000, 91000, 121000, 151000, 181000, 211000, 241000,
                           271000}));
  EXPECT_TRUE(outcomes_.empty());
  clock_->Advance(milliseconds(1));
  EXPECT_EQ(probedAt_.back(), milliseconds(300000));
  EXPECT_EQ(outcomes_,
            std::vector<std::string>{"'/run/rpc' is not a directory of this user; not listening there"});
  EXPECT_EQ(logs_.Count("Inbound services still cannot listen after 300000 ms, giving up"), 1u);
  clock_->Advance(std::chrono::minutes(10));
  EXPECT_EQ(probedAt_.size(), 15u);
  EXPECT_EQ(outcomes_.size(), 1u);
}

TEST_F(ListenRetryTest, ACancelledRetryProbesNoMoreAndNeverReports) {
  Start();
  clock_->Advance(seconds(1));
  EXPECT_EQ(probedAt_, Ms({0, 1000}));
  retry_->Cancel();
  clock_->Advance(seconds(60));
  EXPECT_EQ(probedAt_.size(), 2u);
  EXPECT_TRUE(outcomes_.empty());
}

// The end has removed the socket files: nothing listens again, gives up or says it could not.
TEST_F(ListenRetryTest, OnceTheProcessIsEndingNoProbeRunsAndNothingIsReported) {
  Start();
  clock_->Advance(seconds(1));
  EXPECT_EQ(probedAt_, Ms({0, 1000}));
  const size_t records = logs_.Count("ListenRetry");
  struct EndPlayed {
    ~EndPlayed() { ForgetProcessEndingForTest(); }
  } played;
  RemoveSocketFilesForExit();
  clock_->Advance(seconds(60));
  EXPECT_EQ(probedAt_.size(), 2u);
  EXPECT_TRUE(outcomes_.empty());
  EXPECT_EQ(logs_.Count("ListenRetry"), records);
}

}  // namespace
}  // namespace qbx
