// Classification of summation requests by sequence number and acknowledgement.
#include "aggsvc/stats/delta_worker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/aggsvc/stats/stats_log_capture.h"

namespace qbx {
namespace {

struct Step {
  uint64_t seq;
  uint64_t ack;
  int status;
  // State after the step.
  uint64_t lastSent;
  uint64_t lastAck;
  bool first;
};

struct Sequence {
  std::string name;
  bool smartNic;
  std::vector<Step> steps;
};

constexpr int kDelta = DeltaWorker::DELTA_ACKNOWLEDGED_RESPONSE;
constexpr int kFull = DeltaWorker::DELTA_MP_FIRST_OR_RESET_REQUEST;
constexpr int kFirst = DeltaWorker::DELTA_FIRST_RECEIVED_REQUEST;
constexpr int kResend = DeltaWorker::DELTA_RESEND_RESPONSE;

const std::vector<Sequence>& Sequences() {
  static const std::vector<Sequence> kSequences = {
      {"full_ack_resend_ack", false,
       {{1, 0, kFull, 1, 0, false},
        {2, 1, kDelta, 2, 1, false},
        {3, 1, kResend, 3, 1, false},
        {4, 3, kDelta, 4, 3, false},
        {5, 4, kDelta, 5, 4, false}}},
      {"first_request_after_reset_is_valid", false,
       {{7, 6, kFirst, 7, 6, false}, {8, 7, kDelta, 8, 7, false}, {9, 7, kResend, 9, 7, false}}},
      {"bad_numbers", false,
       {{5, 5, -4, 0, 0, true}, {0, 0, -4, 0, 0, true}, {3, 4, -4, 0, 0, true}, {1, 0, kFull, 1, 0, false}}},
      {"zero_ack_beats_old_seq", false,
       {{20, 0, kFull, 20, 0, false}, {10, 0, kFull, 10, 0, false}, {11, 10, kDelta, 11, 10, false}}},
      {"old_seq", false,
       {{5, 0, kFull, 5, 0, false}, {3, 1, -3, 5, 0, false}, {5, 1, -3, 5, 0, false}, {6, 5, kDelta, 6, 5, false}}},
      {"old_ack", false,
       {{1, 0, kFull, 1, 0, false},
        {5, 1, kDelta, 5, 1, false},
        {9, 5, kDelta, 9, 5, false},
        {10, 4, -2, 9, 5, false},
        {10, 9, kDelta, 10, 9, false}}},
      {"ack_between_last_ack_and_last_sent", false,
       {{1, 0, kFull, 1, 0, false}, {5, 1, kDelta, 5, 1, false}, {8, 3, -1, 5, 1, false}, {8, 5, kDelta, 8, 5, false}}},
      {"smart_nic_accepts_any_newer_ack", true,
       {{1, 0, kFull, 1, 0, false}, {5, 1, kDelta, 5, 1, false}, {8, 3, kDelta, 8, 3, false}, {9, 3, kResend, 9, 3, false}}},
      {"first_request_resend_check_comes_after_first", false,
       {{4, 0, kFull, 4, 0, false}, {6, 0, kFull, 6, 0, false}, {7, 6, kDelta, 7, 6, false}}},
  };
  return kSequences;
}

TEST(DeltaWorkerTest, ClassifiesEveryRequestOfEachSequence) {
  StatsLogCapture logs(loglevel::kInfo);
  for (const Sequence& sequence : Sequences()) {
    SCOPED_TRACE(sequence.name);
    DeltaWorker worker;
    worker.SetSmartNicMode(sequence.smartNic);
    for (size_t i = 0; i < sequence.steps.size(); ++i) {
      const Step& step = sequence.steps[i];
      SCOPED_TRACE("step " + std::to_string(i));
      uint64_t out = 12345;
      EXPECT_EQ(worker.Classify(step.seq, step.ack), step.status);
      EXPECT_EQ(worker.ProcessRequest(step.seq, step.ack, out), step.status);
      EXPECT_EQ(out, step.status >= 0 ? step.seq : 12345u);
      EXPECT_EQ(worker.LastSent(), step.lastSent);
      EXPECT_EQ(worker.LastAck(), step.lastAck);
      EXPECT_EQ(worker.IsFirstRequest(), step.first);
    }
  }
}

TEST(DeltaWorkerTest, ClassifyAloneChangesNothing) {
  DeltaWorker worker;
  EXPECT_EQ(worker.Classify(1, 0), kFull);
  EXPECT_EQ(worker.Classify(7, 6), kFirst);
  EXPECT_TRUE(worker.IsFirstRequest());
  EXPECT_EQ(worker.LastSent(), 0u);
  // Committing later gives the same state as the combined call.
  EXPECT_EQ(worker.UpdateDeltaState(7, 6, kFirst), 7u);
  EXPECT_FALSE(worker.IsFirstRequest());
  EXPECT_EQ(worker.Classify(8, 6), kResend);
}

TEST(DeltaWorkerTest, NegativeStatusUpdatesNothing) {
  StatsLogCapture logs;
  DeltaWorker worker;
  uint64_t out = 0;
  ASSERT_EQ(worker.GetNextResponseInfo(3, 0, out), kFull);
  EXPECT_EQ(worker.UpdateDeltaState(9, 8, -1), 0u);
  EXPECT_EQ(worker.LastSent(), 3u);
  EXPECT_EQ(worker.LastAck(), 0u);
  EXPECT_TRUE(logs.Contains("[UpdateDeltaState] Invalid request status: -1"));
}

TEST(DeltaWorkerTest, ResetReturnsToFirstRequest) {
  DeltaWorker worker;
  uint64_t out = 0;
  worker.GetNextResponseInfo(1, 0, out);
  worker.GetNextResponseInfo(2, 1, out);
  worker.Reset();
  EXPECT_EQ(worker.LastSent(), 0u);
  EXPECT_EQ(worker.LastAck(), 0u);
  EXPECT_TRUE(worker.IsFirstRequest());
  // The management plane goes on with its numbers; the first one is taken as valid.
  EXPECT_EQ(worker.GetNextResponseInfo(3, 2, out), kFirst);
}

TEST(DeltaWorkerTest, LogsTheClassification) {
  StatsLogCapture logs;
  DeltaWorker worker;
  uint64_t out = 0;
  worker.GetNextResponseInfo(5, 5, out);
  EXPECT_TRUE(logs.Contains("[GetNextResponseInfo] Incoming pull stat request with seq:5, ack:5"));
  EXPECT_TRUE(logs.Contains("[GetNextResponseInfo] Got bad request seq: 5 or request ack: 5"));
  EXPECT_TRUE(logs.Contains("MPA10034"));
  logs.Clear();
  worker.GetNextResponseInfo(1, 0, out);
  worker.GetNextResponseInfo(5, 1, out);
  worker.GetNextResponseInfo(8, 3, out);
  EXPECT_TRUE(logs.Contains("[GetNextResponseInfo] Incoming pull stat request is invalid"));
  EXPECT_TRUE(logs.Contains("MPA10014"));
}

}  // namespace
}  // namespace qbx
