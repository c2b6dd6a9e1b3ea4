// A backlog of writes queued while the database was out of reach: however long, it is
// written in calls the writer can carry, in order, and every write is confirmed once, after
// its own last request has reached the database.
#include <cstdio>

#include "tests/nodedb/nodedb_fixture.h"

namespace qbx {
namespace testing {
namespace {

using nodedb::NodeDbClient;

struct Backlog {
  size_t writes;
  size_t requests_per_write;
  uint64_t calls;  // Modify calls that carry them: 4,096 requests at most each
};

std::string Key(size_t write, size_t request) { return "w" + std::to_string(write) + "-" + std::to_string(request); }

class NodeDbBacklogBase : public NodeDbClientFixture {
 protected:
  // Queues the writes; each done callback records its write's index and whether the
  // database has already applied the write's last request.
  void Queue(const Backlog& b) {
    for (size_t w = 0; w < b.writes; ++w) {
      std::vector<pb::ModifyRequestMsg> requests;
      for (size_t r = 0; r < b.requests_per_write; ++r) {
        requests.push_back(PutRequest(pb::NODE_CONFIG, Key(w, r), "v"));
      }
      client_->Modify(requests, [this, w, b] {
        // The database applies the requests in the order they were queued.
        const bool last_written = standin_.applied_operations() >= (w + 1) * b.requests_per_write;
        std::lock_guard<std::mutex> lock(mutex_);
        done_.push_back(w);
        if (!last_written) ++early_;
      });
    }
  }
  size_t DoneCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return done_.size();
  }
  std::vector<size_t> Done() {
    std::lock_guard<std::mutex> lock(mutex_);
    return done_;
  }
  void Record(size_t write) {
    std::lock_guard<std::mutex> lock(mutex_);
    done_.push_back(write);
  }
  // Every write confirmed once and in order, the database holding every request, no call
  // refused, and as few calls as the writer's limit allows.
  void ExpectAllWritten(const Backlog& b) {
    RoundTrip();  // a second run of any done callback would have come by now
    const size_t total = b.writes * b.requests_per_write;
    std::lock_guard<std::mutex> lock(mutex_);
    ASSERT_EQ(done_.size(), b.writes);
    for (size_t w = 0; w < b.writes; ++w) ASSERT_EQ(done_[w], w) << "done callbacks run once each, in write order";
    EXPECT_EQ(early_, 0u) << "a write is confirmed only after its last request was written";
    EXPECT_EQ(standin_.Table(1, pb::NODE_CONFIG).size(), total);
    EXPECT_EQ(standin_.modify_calls(), b.calls);
    EXPECT_FALSE(log_.Contains("Failed to modify"));
    EXPECT_TRUE(client_->IsPendingModificationReqEmpty());
  }

  // Starts the client with its first Modify call held by the database.
  void StartWithTheFirstCallHeld() {
    standin_.HoldNextModify();
    StartClient();
    ASSERT_TRUE(WaitUntil([&] { return standin_.held_modifies() == 1; }));
  }
  // Deletes a VDb, which purges the pending writes of it, and waits for the answer.
  void DeleteVDb(uint16_t vdb) {
    std::atomic<bool> deleted{false};
    ASSERT_TRUE(client_->DeleteVDb("vdb", [&](const rpc::Status&) { deleted = true; }, vdb));
    ASSERT_TRUE(WaitUntil([&] { return deleted.load(); }));
    RoundTrip();
  }

  std::mutex mutex_;
  std::vector<size_t> done_;
  size_t early_ = 0;
};

class NodeDbBacklogTest : public NodeDbBacklogBase, public ::testing::WithParamInterface<Backlog> {};

TEST_P(NodeDbBacklogTest, QueuedBeforeTheFirstConnectionIsWrittenInBoundedCalls) {
  const Backlog b = GetParam();
  LoopStopper stop_loop{provider_};
  Queue(b);
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return DoneCount() == b.writes; }));
  ExpectAllWritten(b);
}

INSTANTIATE_TEST_SUITE_P(Sizes, NodeDbBacklogTest,
                         ::testing::Values(Backlog{0, 1, 0}, Backlog{4096, 1, 1}, Backlog{4097, 1, 2},
                                           Backlog{20000, 1, 5},
                                           // writes larger than one call, split across calls
                                           Backlog{1, 4097, 2}, Backlog{3, 5000, 4}),
                         [](const ::testing::TestParamInfo<Backlog>& info) {
                           return std::to_string(info.param.writes) + "x" +
                                  std::to_string(info.param.requests_per_write);
                         });

class NodeDbDatabaseAwayTest : public NodeDbBacklogBase {};

TEST_F(NodeDbDatabaseAwayTest, AWriteSplitAcrossCallsIsConfirmedOnlyWithItsLastPart) {
  const Backlog b{1, 4097, 2};
  LoopStopper stop_loop{provider_};
  Queue(b);
  standin_.HoldNextModify(1);  // the first call is applied, the second (the last request) held
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return standin_.held_modifies() == 1; }));
  RoundTrip();  // the end of the first call has been handled by now
  EXPECT_EQ(standin_.applied_operations(), 4096u);
  EXPECT_EQ(DoneCount(), 0u) << "confirmed while its last request was still on its way";
  EXPECT_FALSE(client_->IsPendingModificationReqEmpty());
  EXPECT_EQ(standin_.ReleaseHeldModifies(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return DoneCount() == 1; }));
  ExpectAllWritten(b);
}

// Writes of `count` requests each, keyed by the write's name.
std::vector<pb::ModifyRequestMsg> Requests(const std::string& name, size_t count, std::vector<uint32_t> vdbs = {}) {
  std::vector<pb::ModifyRequestMsg> requests;
  for (size_t r = 0; r < count; ++r) requests.push_back(PutRequest(pb::NODE_CONFIG, name + "-" + std::to_string(r), "v", vdbs));
  return requests;
}

TEST_F(NodeDbDatabaseAwayTest, AWriteEndingWithTheLastRequestOfACallIsConfirmedWithThatCall) {
  LoopStopper stop_loop{provider_};
  client_->Modify(Requests("a", NodeDbClient::kMaxBatchRequests), [this] { Record(0); });
  client_->Modify(Requests("b", 1), [this] { Record(1); });
  standin_.HoldNextModify(1);  // the first call is applied and answered, the second held
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return standin_.held_modifies() == 1; }));
  RoundTrip();  // the end of the first call has been handled by now
  EXPECT_EQ(Done(), (std::vector<size_t>{0})) << "the first write was wholly in the first call";
  EXPECT_EQ(standin_.ReleaseHeldModifies(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return DoneCount() == 2; }));
  RoundTrip();
  EXPECT_EQ(Done(), (std::vector<size_t>{0, 1}));
  EXPECT_EQ(standin_.modify_calls(), 2u);
}

TEST_F(NodeDbDatabaseAwayTest, APurgeOfTheRestOfASplitWriteConfirmsItWithTheCallThatCarriesItsFirstPart) {
  LoopStopper stop_loop{provider_};
  // The second write goes to VDb 3 alone; its first 96 requests fill the first call.
  client_->Modify(Requests("a", 4000), [this] { Record(0); });
  client_->Modify(Requests("b", 200, {3}), [this] { Record(1); });
  client_->Modify(Requests("c", 5), [this] { Record(2); });
  StartWithTheFirstCallHeld();
  // VDb 3 goes while the first call is on its way: the rest of the second write with it.
  DeleteVDb(3);
  EXPECT_EQ(DoneCount(), 0u) << "the first part of the second write is not written yet";

  standin_.HoldNextModify();  // the call that carries the third write
  EXPECT_EQ(standin_.ReleaseHeldModifies(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return standin_.held_modifies() == 1; }));
  RoundTrip();
  EXPECT_EQ(Done(), (std::vector<size_t>{0, 1})) << "the second write is confirmed with its first part";
  EXPECT_EQ(standin_.ReleaseHeldModifies(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return DoneCount() == 3; }));
  RoundTrip();
  EXPECT_EQ(Done(), (std::vector<size_t>{0, 1, 2})) << "each once";
  EXPECT_EQ(standin_.Table(3, pb::NODE_CONFIG).size(), NodeDbClient::kMaxBatchRequests - 4000);
  EXPECT_EQ(standin_.Table(1, pb::NODE_CONFIG).size(), 4005u);
  EXPECT_TRUE(client_->IsPendingModificationReqEmpty());
}

TEST_F(NodeDbDatabaseAwayTest, AWriteWhollyPurgedBehindThePurgedRestOfASplitWriteWaitsForTheCallInFlight) {
  LoopStopper stop_loop{provider_};
  // The first call carries the first write and the first 96 requests of the second; the
  // third goes to VDb 3 alone too, the fourth to VDb 1.
  client_->Modify(Requests("a", 4000), [this] { Record(0); });
  client_->Modify(Requests("b", 200, {3}), [this] { Record(1); });
  client_->Modify(Requests("d", 10, {3}), [this] { Record(2); });
  client_->Modify(Requests("c", 5), [this] { Record(3); });
  StartWithTheFirstCallHeld();
  DeleteVDb(3);
  EXPECT_EQ(DoneCount(), 0u) << "confirmed ahead of the writes in the call in flight";

  EXPECT_EQ(standin_.ReleaseHeldModifies(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return DoneCount() == 4; }));
  RoundTrip();
  EXPECT_EQ(Done(), (std::vector<size_t>{0, 1, 2, 3}));
  EXPECT_EQ(standin_.Table(1, pb::NODE_CONFIG).size(), 4005u);
  EXPECT_TRUE(client_->IsPendingModificationReqEmpty());
}

// A write with no requests is a writer's "everything before me is written" marker.
TEST_F(NodeDbDatabaseAwayTest, AnEmptyWriteStaysBehindTheWritesInTheSameSchemaCheckedCall) {
  client_ = std::make_shared<NodeDbClient>("stats-exporter", net::Endpoint(standin_.endpoint()), provider_, nullptr,
                                           true, true, true);
  // A write the server version refuses has nothing to write either.
  ASSERT_TRUE(client_->SetVersionConstraint(pb::FIREWALL_CONFIG, "9", nullptr));
  LoopStopper stop_loop{provider_};
  client_->Modify(Requests("a", 1), [this] { Record(0); });
  client_->Modify({}, [this] { Record(1); });
  client_->Modify({PutRequest(pb::FIREWALL_CONFIG, "refused", "1")}, [this] { Record(2); });
  StartWithTheFirstCallHeld();
  RoundTrip();
  EXPECT_EQ(DoneCount(), 0u) << "confirmed before the write ahead of it was written";
  EXPECT_EQ(standin_.ReleaseHeldModifies(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return DoneCount() == 3; }));
  RoundTrip();
  EXPECT_EQ(Done(), (std::vector<size_t>{0, 1, 2}));
  EXPECT_EQ(standin_.modify_calls(), 1u);
  EXPECT_TRUE(client_->IsPendingModificationReqEmpty());
}

TEST_F(NodeDbDatabaseAwayTest, EmptyWritesBehindTheCallInFlightOutlivePurges) {
  LoopStopper stop_loop{provider_};
  client_->Modify(Requests("a", 1), [this] { Record(0); });
  client_->Modify(Requests("b", 1), [this] { Record(1); });
  StartWithTheFirstCallHeld();
  // A purge of a VDb that nothing names.
  client_->Modify({}, [this] { Record(2); });
  DeleteVDb(9);
  EXPECT_EQ(DoneCount(), 0u) << "confirmed ahead of the call in flight";
  // A purge that takes the whole write just before the empty one.
  client_->Modify(Requests("x", 1, {7}), [this] { Record(3); });
  client_->Modify({}, [this] { Record(4); });
  DeleteVDb(7);
  EXPECT_EQ(DoneCount(), 0u) << "confirmed ahead of the call in flight";

  EXPECT_EQ(standin_.ReleaseHeldModifies(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return DoneCount() == 5; }));
  RoundTrip();
  EXPECT_EQ(Done(), (std::vector<size_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(standin_.modify_calls(), 1u);
  EXPECT_TRUE(client_->IsPendingModificationReqEmpty());
}

TEST_F(NodeDbDatabaseAwayTest, AFailedCallWithNothingToWriteTellsItsWriters) {
  LoopStopper stop_loop{provider_};
  StartClient();
  standin_.FailNextModify(rpc::StatusCode::kParseFailed);
  client_->Modify({}, [this] { Record(0); });
  client_->Modify({}, [this] { Record(1); });
  ASSERT_TRUE(WaitUntil([&] { return DoneCount() == 2; }, clock_));  // the second after the retry delay
  RoundTrip();
  EXPECT_EQ(Done(), (std::vector<size_t>{0, 1}));
  EXPECT_TRUE(log_.Contains("Modify request is empty. Server returned an error status"));
  EXPECT_TRUE(client_->IsPendingModificationReqEmpty());
}

TEST_F(NodeDbDatabaseAwayTest, TenThousandWritesQueuedWhileTheDatabaseWasAwayAreAllWritten) {
  const Backlog b{10000, 1, 3};
  LoopStopper stop_loop{provider_};
  StartClient();
  standin_.Stop();
  ASSERT_TRUE(WaitUntil([&] { return !Connected(); }));
  Queue(b);
  ASSERT_TRUE(standin_.Start());
  ASSERT_TRUE(WaitUntil([&] { return DoneCount() == b.writes; }, clock_));
  ExpectAllWritten(b);
  std::printf("[ figures  ] writes=%zu modify_calls=%llu\n", b.writes,
              static_cast<unsigned long long>(standin_.modify_calls()));
}

}  // namespace
}  // namespace testing
}  // namespace qbx
