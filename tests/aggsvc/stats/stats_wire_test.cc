// Statistics written as protobuf wire bytes: they must be exactly the bytes of the message
// that the protobuf path builds for the same polls, and the summation reply around them
// must read as a SummationStatsResponseMsg.
#include <gtest/gtest.h>

#include <google/protobuf/util/message_differencer.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "aggsvc/stats/delta_store_factory.h"
#include "aggsvc/stats/proto_store_factory.h"
#include "tests/aggsvc/stats/stats_log_capture.h"
#include "zumbra/qbx/agg_service/messaging/stats.pb.h"

namespace qbx {
namespace {

namespace msg = zumbra::qbx::agg_service::messaging;
using google::protobuf::util::MessageDifferencer;

// The bytes must parse to the message and be what serialising it gives (the timestamps of
// two encodings may differ by a millisecond, so the message takes that of the bytes).
void ExpectSameResponse(const msg::StatsResponseMsg& message, const std::string& bytes) {
  msg::StatsResponseMsg parsed;
  ASSERT_TRUE(parsed.ParseFromString(bytes));
  ASSERT_TRUE(parsed.has_timestamp());
  msg::StatsResponseMsg expected = message;
  expected.set_timestamp(parsed.timestamp());
  std::string differences;
  MessageDifferencer differencer;
  differencer.ReportDifferencesToString(&differences);
  EXPECT_TRUE(differencer.Compare(expected, parsed)) << differences;
  EXPECT_EQ(bytes, expected.SerializeAsString());
}

// Two delta encoders fed the same polls: one answers with messages, the other with bytes.
struct TwinEncoders {
  TwinEncoders(DiffStoreFactoryImpl& message, DiffStoreFactoryImpl& wire) : message(message), wire(wire) {}

  // One delta of both, filled by `fill`; the bytes are checked against the message, which
  // is returned. Without `commit` the delta is left pending.
  template <typename Fill>
  msg::StatsResponseMsg Delta(const Fill& fill, bool commit = true) {
    message.UpdatePreviousWithCurrent();
    wire.UpdatePreviousWithCurrent();
    fill(message);
    fill(wire);
    msg::StatsResponseMsg expected;
    EXPECT_TRUE(message.Encode(&expected));
    std::string bytes;
    EXPECT_TRUE(wire.EncodeWire(&bytes));
    ExpectSameResponse(expected, bytes);
    lastSize = bytes.size();
    if (commit) {
      message.CommitUpdate();
      wire.CommitUpdate();
    }
    return expected;
  }

  DiffStoreFactoryImpl& message;
  DiffStoreFactoryImpl& wire;
  size_t lastSize = 0;
};

// One poll of a vertical with every kind of collection: target types with and without a
// parent, stat types with and without a parent id; counters that come and go, change order,
// go backward and wrap; positional counters with absent values and a length change;
// target errors; a type that is only marked for error; names long enough for every path.
void Poll(IStatsStoreFactory& f, int poll) {
  const int64_t max = std::numeric_limits<int64_t>::max();
  const std::string longName(80, 'n');
  for (int t = 0; t < 9; ++t) {
    if ((t + poll) % 7 == 0) continue;  // absent this time
    auto store = f.GetTargetStatsStore("rule-" + std::to_string(t), "rule", "", "");
    ASSERT_TRUE(store);
    const int n = 1 + (t + poll) % 5;
    for (int c = 0; c < n; ++c) {
      const int id = (c * (poll % 2 ? 1 : 3) + t) % 6;
      const int64_t value = poll % 4 == 3 && c == 0 ? 5 : int64_t{100} * poll + id * t;
      store->AddStat("counter_" + std::to_string(id), value, false);
    }
    if (t == 2) store->AddStat("wrapping_counter_name", poll % 2 ? max - 3 : std::numeric_limits<int64_t>::min() + poll, false);
    if (t == 3) store->AddStat(longName, poll * 11, false);
    if (t % 4 == 1 && poll % 2 == 0) store->AddError(-1001 - t);
  }
  if (poll % 3 != 1) {
    for (int t = 0; t < 3; ++t) {
      auto store = f.GetTargetStatsStore("port-" + std::to_string(t), "lport", "ls-1", "lswitch");
      ASSERT_TRUE(store);
      store->AddStat("rx", poll * (t + 1), false);
      store->AddStat("tx", poll * 2, false);
    }
  } else {
    f.GetErrorStore()->AddTargetTypeError("lport", "ls-1", "lswitch", -2001);
  }
  for (int t = 0; t < 4; ++t) {
    auto store = f.GetTargetStatsStore(7, "vec-" + std::to_string(t), "parent-1");
    ASSERT_TRUE(store);
    std::vector<int64_t> values = {poll * 10 + t, (poll + t) % 3 == 0 ? -1 : poll * 3, 7};
    if (t == 3 && poll == 5) values.push_back(1);
    store->AddStats(values, false);
  }
  auto plain = f.GetTargetStatsStore(3, "solo", "");
  ASSERT_TRUE(plain);
  plain->AddStats({poll % 3 == 0 ? poll - 2 : poll * 4}, false);
  // A target with both kinds of counters.
  auto both = f.GetTargetStatsStore("mixed", "rule", "", "");
  ASSERT_TRUE(both);
  both->AddStat("rx", poll * 5, false);
  both->AddStats({poll, poll * 2}, false);
  f.GetErrorStore()->AddTargetError("mixed", "rule", "", "", -1500);
}

TEST(DeltaWireEncodingTest, BytesAreTheSerialisedMessageOfEveryPoll) {
  StatsLogCapture logs(loglevel::kFatal);
  for (bool skip : {false, true}) {
    SCOPED_TRACE(skip ? "skipFirstValue" : "!skipFirstValue");
    DiffStoreFactoryImpl message(skip);
    DiffStoreFactoryImpl wire(skip);
    TwinEncoders twin(message, wire);
    bool retried = false;
    size_t nonEmpty = 0;
    for (int poll = 1; poll <= 12; ++poll) {
      SCOPED_TRACE("poll " + std::to_string(poll));
      const bool lose = poll % 4 == 2 && !retried;
      auto response = twin.Delta([poll](IStatsStoreFactory& f) { Poll(f, poll); }, !lose);
      if (response.target_type_stats_size() > 0) ++nonEmpty;
      retried = lose;
      if (lose) {
        // The answer was lost: the same poll again from the restored base.
        message.RollbackUpdate();
        wire.RollbackUpdate();
        --poll;
      }
    }
    EXPECT_GE(nonEmpty, 10u);
  }
}

// A reset in the middle (as after a datapath restart) and a base taken over from a full
// answer give the same bytes too.
TEST(DeltaWireEncodingTest, SameBytesAfterAResetAndFromAFullAnswersBase) {
  StatsLogCapture logs(loglevel::kFatal);
  ProtoStoreFactoryImpl full;
  Poll(full, 1);
  DiffStoreFactoryImpl message(full.GetCurrentStatsMap(), full.GetCurrentStatsMapNew(), false);
  ProtoStoreFactoryImpl full2;
  Poll(full2, 1);
  DiffStoreFactoryImpl wire(full2.GetCurrentStatsMap(), full2.GetCurrentStatsMapNew(), false);
  TwinEncoders twin(message, wire);
  for (int poll = 2; poll <= 6; ++poll) {
    SCOPED_TRACE("poll " + std::to_string(poll));
    if (poll == 4) {
      message.ResetAll();
      wire.ResetAll();
    }
    twin.Delta([poll](IStatsStoreFactory& f) { Poll(f, poll); });
  }
}

// A target type whose entry takes more than 2 MiB needs four bytes for its length, a small
// one only one: the bytes kept for a length are corrected both ways.
TEST(DeltaWireEncodingTest, TypeEntriesOfEverySizeGetTheirExactLength) {
  DiffStoreFactoryImpl message(false);
  DiffStoreFactoryImpl wire(false);
  TwinEncoders twin(message, wire);
  for (int poll = 1; poll <= 3; ++poll) {
    SCOPED_TRACE("poll " + std::to_string(poll));
    const int targets = poll == 2 ? 8000 : 100;
    twin.Delta([poll, targets](IStatsStoreFactory& f) {
      for (int t = 0; t < targets; ++t) {
        auto store = f.GetTargetStatsStore("target-" + std::to_string(t), "big", "", "");
        for (int c = 0; c < 16; ++c) store->AddStat("counter_" + std::to_string(c), poll * (c + 1), false);
      }
      f.GetTargetStatsStore("only", "small", "", "")->AddStat("rx", poll, false);
    });
    if (poll == 2) {
      EXPECT_GT(twin.lastSize, size_t{1} << 21);
    }
  }
}

TEST(DeltaWireEncodingTest, RefusalsAppendNothing) {
  StatsLogCapture logs;
  DiffStoreFactoryImpl diff(false);
  EXPECT_FALSE(diff.EncodeWire(nullptr));
  EXPECT_EQ(logs.Count("MPA10036"), 1u);
  ProtoStoreFactoryImpl proto;
  DiffStoreFactoryImpl noPrevious(proto.GetCurrentStatsMap(), proto.GetCurrentStatsMapNew(), false);
  std::string bytes = "x";
  EXPECT_FALSE(noPrevious.EncodeWire(&bytes));
  EXPECT_EQ(bytes, "x");
  EXPECT_EQ(logs.Count("MPA10037"), 1u);
}

TEST(DeltaWireEncodingTest, DebugLogShowsTheResponseAsTheMessagePathDoes) {
  StatsLogCapture logs(loglevel::kDebug);
  DiffStoreFactoryImpl diff(false);
  diff.UpdatePreviousWithCurrent();
  diff.GetTargetStatsStore("t1", "rule", "", "")->AddStat("rx", 3, false);
  std::string bytes;
  ASSERT_TRUE(diff.EncodeWire(&bytes));
  EXPECT_TRUE(logs.Contains("Response Msg is target_type_stats"));
  EXPECT_TRUE(logs.Contains("string_id: \"t1\""));
}

// The absolute encoder's bytes are the serialised message of its Encode for every poll,
// for empty factories, for a type entry far larger than its first target suggests, and for
// a collection whose only store is of a foreign kind.
class ForeignStore : public ITargetStatsStore {
 public:
  int32_t AddStat(const std::string&, int64_t, bool) override { return 0; }
  int32_t AddStats(const std::vector<int64_t>&, bool) override { return 0; }
  int32_t AddError(int32_t) override { return 0; }
  void ClearErrors() override {}
  int32_t GetAttributes() override { return 0; }
  size_t GetErrorCount() override { return 0; }
};

// Gives access to the current collections, as a vertical cannot.
class OpenProtoFactory : public ProtoStoreFactoryImpl {
 public:
  void PutForeign(const std::string& type, const std::string& id) {
    auto coll = std::make_shared<TargetStatsColl>();
    coll->Emplace(id, std::make_shared<ForeignStore>());
    currentMap->emplace(TargetMetaData(type, "", ""), coll);
  }
};

void ExpectAbsoluteBytesOfTheMessage(ProtoStoreFactoryImpl& factory) {
  msg::StatsResponseMsg message;
  ASSERT_TRUE(factory.Encode(&message));
  std::string bytes = "prefix";
  ASSERT_TRUE(factory.EncodeWire(&bytes));
  ASSERT_EQ(bytes.compare(0, 6, "prefix"), 0);
  ExpectSameResponse(message, bytes.substr(6));
}

TEST(AbsoluteWireEncodingTest, BytesAreTheSerialisedMessage) {
  StatsLogCapture logs(loglevel::kFatal);
  for (int poll = 1; poll <= 6; ++poll) {
    SCOPED_TRACE("poll " + std::to_string(poll));
    ProtoStoreFactoryImpl factory;
    Poll(factory, poll);
    ExpectAbsoluteBytesOfTheMessage(factory);
  }
  ProtoStoreFactoryImpl empty;
  ExpectAbsoluteBytesOfTheMessage(empty);
  // A first target of one counter, then thousands of larger ones: the entry's length needs
  // more bytes than the first target suggests.
  ProtoStoreFactoryImpl uneven;
  uneven.GetTargetStatsStore("a", "big", "", "")->AddStat("x", 1, false);
  for (int t = 0; t < 6000; ++t) {
    auto store = uneven.GetTargetStatsStore("target-" + std::to_string(t), "big", "", "");
    for (int c = 0; c < 16; ++c) store->AddStat("counter_" + std::to_string(c), t * c, false);
  }
  ExpectAbsoluteBytesOfTheMessage(uneven);
  OpenProtoFactory foreign;
  foreign.PutForeign("odd", "f1");
  foreign.GetTargetStatsStore("t1", "rule", "", "")->AddStat("rx", 1, false);
  ExpectAbsoluteBytesOfTheMessage(foreign);
}

TEST(AbsoluteWireEncodingTest, RefusalsAndRecordsAsTheMessagePath) {
  StatsLogCapture logs;
  ProtoStoreFactoryImpl factory;
  EXPECT_FALSE(factory.EncodeWire(nullptr));
  EXPECT_EQ(logs.Count("MPA10044"), 1u);
  OpenProtoFactory foreign;
  foreign.PutForeign("odd", "f1");
  std::string bytes;
  ASSERT_TRUE(foreign.EncodeWire(&bytes));
  EXPECT_EQ(logs.Count("Unable to get child class ptr for cur TargetMap"), 1u);
  EXPECT_EQ(logs.Count("Encoding Proto Response target [f1] failed."), 1u);
}

TEST(WireFormatTest, LengthsAreCorrectedToTheirExactSize) {
  for (size_t body : {size_t{0}, size_t{5}, size_t{127}, size_t{128}, size_t{300}, size_t{20000}}) {
    for (size_t width : {size_t{1}, size_t{2}, size_t{3}, size_t{5}}) {
      SCOPED_TRACE("body " + std::to_string(body) + " width " + std::to_string(width));
      std::string out = "ab";
      const size_t slot = wire::OpenField(out, 4, width);
      out.append(body, 'z');
      wire::CloseField(out, slot, width);
      std::string expected = "ab";
      wire::AppendBytesField(expected, 4, std::string(body, 'z'));
      EXPECT_EQ(out, expected);
    }
  }
}

TEST(WireFormatTest, FieldsReadBackAsTheMessageFields) {
  std::string bytes;
  wire::AppendSignedField(bytes, 3, std::numeric_limits<int64_t>::min());  // long_value
  wire::AppendSignedField(bytes, 4, -7);                                    // counter_index
  wire::AppendBytesField(bytes, 1, std::string("k\0y", 3));                 // key
  msg::CounterValueMsg counter;
  ASSERT_TRUE(counter.ParseFromString(bytes));
  EXPECT_EQ(counter.long_value(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(counter.counter_index(), -7);
  EXPECT_EQ(counter.key(), std::string("k\0y", 3));
  EXPECT_EQ(wire::VarintSize(0), 1u);
  EXPECT_EQ(wire::VarintSize(127), 1u);
  EXPECT_EQ(wire::VarintSize(128), 2u);
  EXPECT_EQ(wire::VarintSize(std::numeric_limits<uint64_t>::max()), wire::kMaxVarint);
}

template <typename Key>
void ExpectTypeFieldsOfTheMessage(const Key& key) {
  msg::TargetTypeStatsMsg expected;
  SetTypeFields(key, &expected);
  std::string bytes;
  AppendTypeFieldsBeforeTargets(key, bytes);
  AppendTypeFieldsAfterTargets(key, bytes);
  EXPECT_EQ(bytes, expected.SerializeAsString()) << key.KeyText();
}

TEST(WireFormatTest, IdsAndTypeFieldsAreThoseTheMessageSetters) {
  StatsLogCapture logs;
  for (const std::string& id : {std::string("t1"), std::string(200, 'i'), std::string()}) {
    msg::TargetStatsMsg expected;
    SetStringId(id, expected.mutable_target_id());
    std::string bytes;
    AppendStringIdField(bytes, 1, id);
    EXPECT_EQ(bytes, expected.SerializeAsString());
  }
  ExpectTypeFieldsOfTheMessage(TargetMetaData("lport", "ls-1", "lswitch"));
  ExpectTypeFieldsOfTheMessage(TargetMetaData("rule", "", ""));
  ExpectTypeFieldsOfTheMessage(TargetMetaDataNew(-4, "p-1"));
  ExpectTypeFieldsOfTheMessage(TargetMetaDataNew(9, ""));
}

TEST(WireFormatTest, SummationReplyIsTheSeqNumAroundTheStatistics) {
  msg::StatsResponseMsg stats;
  stats.set_timestamp(12345);
  stats.add_target_type_stats()->set_target_type("rule");
  for (uint64_t seq : {uint64_t{0}, uint64_t{1}, uint64_t{300}, std::numeric_limits<uint64_t>::max()}) {
    std::string reply = "stale";
    ASSERT_TRUE(SerialiseSummationResponse(seq, stats.SerializeAsString(), reply));
    msg::SummationStatsResponseMsg expected;
    expected.set_seq_num(seq);
    *expected.mutable_stats() = stats;
    EXPECT_EQ(reply, expected.SerializeAsString());
  }
  std::string reply;
  ASSERT_TRUE(SerialiseSummationResponse(2, std::string(), reply));
  msg::SummationStatsResponseMsg parsed;
  ASSERT_TRUE(parsed.ParseFromString(reply));
  EXPECT_EQ(parsed.seq_num(), 2u);
  EXPECT_TRUE(parsed.has_stats());
}

// Room for an answer keeps what is written so far, also for a buffer large enough to be
// asked for as huge pages, and the answer written into it afterwards is whole.
TEST(WireFormatTest, RoomForAnAnswerKeepsWhatIsWritten) {
  for (size_t capacity : {size_t{64}, size_t{4} << 20, (size_t{36} << 20) + 123}) {
    std::string out = "head";
    ReserveAnswer(out, capacity);
    EXPECT_GE(out.capacity(), capacity);
    EXPECT_EQ(out, "head");
    const char* data = out.data();
    out.append(capacity - out.size(), 'x');
    EXPECT_EQ(out.data(), data) << "no move while the reserved room is filled";
    EXPECT_EQ(out.compare(0, 4, "head"), 0);
    EXPECT_EQ(out.find_first_not_of('x', 4), std::string::npos);
    ReserveAnswer(out, 16);
    EXPECT_EQ(out.data(), data) << "a buffer that has the room is left alone";
  }
}

// A reply of more than 32 MiB is the seq_num and the statistics, byte for byte.
TEST(WireFormatTest, LargeSummationReplyIsWhole) {
  std::string stats((size_t{33} << 20) + 7, '\0');
  for (size_t i = 0; i < stats.size(); i += 4093) stats[i] = static_cast<char>(i);
  std::string reply;
  ASSERT_TRUE(SerialiseSummationResponse(9, stats, reply));
  ASSERT_GT(reply.size(), stats.size());
  EXPECT_EQ(reply.compare(reply.size() - stats.size(), stats.size(), stats), 0);
  EXPECT_EQ(reply[0], 0x08);
  EXPECT_EQ(reply[1], 9);
}

}  // namespace
}  // namespace qbx
