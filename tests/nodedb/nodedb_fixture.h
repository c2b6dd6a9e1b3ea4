// A client on its own provider (manual clock) against an in-process stand-in database, and
// a recording module.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nodedb/nodedb_client.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"
#include "tests/rpc/fakes/fake_rpc.h"
#include "tests/rpc/fakes/wait.h"
#include "tools/nodedb_standin/nodedb_standin.h"

namespace qbx {
namespace testing {

namespace pb = zumbra::qbx::nodedb;

// Keeps the rows it was told about, as a collector would.
struct RecordingModule {
  std::mutex mutex;
  std::map<std::string, std::string> view;
  std::vector<std::string> keys;  // every delivered key, in order
  int barriers = 0;
  std::function<void(const pb::MonitorUpdateMsg&)> on_update;
  std::function<void()> on_barrier;

  nodedb::UpdateCallback Updates() {
    return [this](const pb::MonitorUpdateMsg& u) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        keys.push_back(u.object().key());
        if (u.kind() == pb::MonitorUpdateMsg::DELETE) {
          view.erase(u.object().key());
        } else {
          view[u.object().key()] = u.object().value();
        }
      }
      if (on_update) on_update(u);
    };
  }
  nodedb::BarrierCallback Barriers() {
    return [this] {
      {
        std::lock_guard<std::mutex> lock(mutex);
        ++barriers;
      }
      if (on_barrier) on_barrier();
    };
  }
  size_t Count(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = 0;
    for (const auto& k : keys) n += k == key;
    return n;
  }
  int BarrierCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return barriers;
  }
  std::map<std::string, std::string> View() {
    std::lock_guard<std::mutex> lock(mutex);
    return view;
  }
};

// Keeps every channel-status notice, in order.
struct ChannelRecorder {
  std::mutex mutex;
  std::vector<bool> seen;

  nodedb::ChannelStatusCallback Callback() {
    return [this](bool up) {
      std::lock_guard<std::mutex> lock(mutex);
      seen.push_back(up);
    };
  }
  std::vector<bool> Seen() {
    std::lock_guard<std::mutex> lock(mutex);
    return seen;
  }
};

inline pb::MonitorStatementMsg Statement(pb::ObjectType type) {
  pb::MonitorStatementMsg s;
  s.mutable_object()->set_object_type(type);
  return s;
}

inline pb::ModifyRequestMsg PutRequest(pb::ObjectType type, const std::string& key, const std::string& value,
                                       std::vector<uint32_t> vdbs = {}) {
  pb::ModifyRequestMsg r;
  auto* put = r.add_modify()->mutable_put();
  put->mutable_object()->set_object_type(type);
  put->mutable_object()->set_key(key);
  put->mutable_object()->set_value(value);
  for (uint32_t v : vdbs) put->add_vdb_id(v);
  return r;
}

// Stops the client's loop when it goes out of scope. Declared after the test's locals that
// callbacks capture, it makes sure no callback runs once those are gone.
struct LoopStopper {
  AsioQbxProvider& provider;
  ~LoopStopper() { provider.StopAndWait(); }
};

class NodeDbClientFixture : public ::testing::Test {
 protected:
  NodeDbClientFixture()
      : clock_(std::make_shared<ManualClock>()), provider_(AsioQbxProvider::Options{}, "nodedb-test", clock_) {
    saved_level_ = nodedb::library_log_level.load();
    nodedb::library_log_level = loglevel::kDebug;
    EXPECT_TRUE(standin_.Start());
    provider_.RunAsync(1);
    client_ = std::make_shared<nodedb::NodeDbClient>("stats-exporter", net::Endpoint(standin_.endpoint()), provider_,
                                                     nullptr, true, true, false);
  }
  ~NodeDbClientFixture() override {
    client_.reset();
    provider_.StopAndWait();
    nodedb::library_log_level = saved_level_;
  }

  // Starts the client on another thread and waits until Start has returned.
  void StartClient() {
    std::atomic<bool> started{false};
    std::thread t([&] {
      client_->Start();
      started = true;
    });
    const bool ok = WaitUntil([&] { return started.load(); }, clock_);
    if (!ok) standin_.Start();  // let Start return so that the thread can be joined
    t.join();
    ASSERT_TRUE(ok);
  }

  bool Connected() { return client_->state() == nodedb::NodeDbClient::CONNECTED; }

  // One Echo round trip: what the client sent before it has reached the stand-in, and what
  // the loop had to do before has been done.
  void RoundTrip() {
    std::atomic<bool> echoed{false};
    ASSERT_TRUE(client_->Echo("x", [&](const std::string&, const rpc::Status&) { echoed = true; }));
    ASSERT_TRUE(WaitUntil([&] { return echoed.load(); }));
  }

  // A record of level WARNING with the text.
  bool Warned(const std::string& text) {
    for (const auto& line : log_.Lines()) {
      if (line.find("level=\"WARNING\"") != std::string::npos && line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  LogCapture log_;
  tools::NodeDbStandin standin_;
  std::shared_ptr<ManualClock> clock_;
  AsioQbxProvider provider_;
  std::shared_ptr<nodedb::NodeDbClient> client_;
  LibraryLogLevel saved_level_;
};

}  // namespace testing
}  // namespace qbx
