#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "platform/runtime/retry_policy.h"

namespace qbx {
namespace {

using std::chrono::milliseconds;

std::vector<int64_t> Take(RetryPolicy& p, int n) {
  std::vector<int64_t> v;
  for (int i = 0; i < n; ++i) v.push_back(p.NextDelay());
  return v;
}

TEST(RetryPolicy, GrowsByTheFactorUpToTheMaximum) {
  RetryPolicy p(milliseconds(1000), milliseconds(5000), 2.0, static_cast<uint32_t>(-1));
  EXPECT_EQ(Take(p, 6), (std::vector<int64_t>{1000, 2000, 4000, 5000, 5000, 5000}));
}

TEST(RetryPolicy, LimitedAttemptsThenNegativeAndResetStartsAgain) {
  RetryPolicy p(milliseconds(100), milliseconds(1000), 2.0, 3);
  EXPECT_EQ(Take(p, 5), (std::vector<int64_t>{100, 200, 400, -1, -1}));
  p.Reset();
  EXPECT_EQ(Take(p, 2), (std::vector<int64_t>{100, 200}));
  EXPECT_EQ(p.attempts_made(), 2u);
}

TEST(RetryPolicy, ZeroAttemptsIsNegativeAtTheFirstCall) {
  RetryPolicy no_retry(milliseconds(1), milliseconds(1), 1.0, 0);
  EXPECT_LT(no_retry.NextDelay(), 0);
  // One attempt, as the stub creation of the management-plane transport uses it.
  RetryPolicy once(milliseconds(1000000), milliseconds(10000000), 2.0, 1);
  EXPECT_EQ(once.NextDelay(), 1000000);
  EXPECT_LT(once.NextDelay(), 0);
}

TEST(RetryPolicy, UnlimitedNeverRunsOut) {
  RetryPolicy p(milliseconds(10000), milliseconds(30000), 2.0, RetryPolicy::kUnlimitedAttempts);
  int64_t last = 0;
  for (int i = 0; i < 100000; ++i) last = p.NextDelay();
  EXPECT_EQ(last, 30000);
}

TEST(RetryPolicy, SingleIntervalAndDefault) {
  RetryPolicy single(milliseconds(5000));
  EXPECT_EQ(Take(single, 3), (std::vector<int64_t>{5000, 5000, 5000}));
  RetryPolicy def;
  EXPECT_GT(def.NextDelay(), 0);
  EXPECT_EQ(def.max_attempts(), RetryPolicy::kUnlimitedAttempts);
}

TEST(RetryPolicy, NeverNegativeOrAboveTheMaximumOnOddInputs) {
  RetryPolicy negative(milliseconds(-50), milliseconds(-10), 2.0, 10);
  for (int64_t d : Take(negative, 10)) EXPECT_EQ(d, 0);

  RetryPolicy shrinking(milliseconds(100), milliseconds(1000), 0.5, 4);  // factor < 1
  EXPECT_EQ(Take(shrinking, 4), (std::vector<int64_t>{100, 100, 100, 100}));

  RetryPolicy nan(milliseconds(100), milliseconds(1000), std::nan(""), 2);
  EXPECT_EQ(Take(nan, 2), (std::vector<int64_t>{100, 100}));

  RetryPolicy inverted(milliseconds(500), milliseconds(100), 2.0, 2);  // max below initial
  EXPECT_EQ(Take(inverted, 2), (std::vector<int64_t>{500, 500}));

  RetryPolicy huge(milliseconds(1), milliseconds(INT64_MAX), 1e300, 5);  // overflow
  EXPECT_EQ(Take(huge, 3), (std::vector<int64_t>{1, INT64_MAX, INT64_MAX}));
}

TEST(RetryPolicy, CopiesAreIndependent) {
  RetryPolicy a(milliseconds(10), milliseconds(100), 2.0, 5);
  a.NextDelay();
  RetryPolicy b = a;
  EXPECT_EQ(b.NextDelay(), 20);
  EXPECT_EQ(a.NextDelay(), 20);
}

}  // namespace
}  // namespace qbx
