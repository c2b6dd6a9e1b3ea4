// Test doubles of the monitoring status road: a scripted provider transport, a status
// source that records what the health-agent wrapper asks of it, a log capture and a
// controllable status adapter.
//
// The transport double keeps its state in a shared FakeProviderWorld that outlives the
// transport object (the link destroys its transport at Stop). Controls are called from the
// test thread and post to the provider, as the real transport does; tests read the world
// after flushing the provider (StatusSourceImpl::RunOnLoopForTest or LoopFlush).
#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <stdlib.h>

#include "aggsvc/status_source.h"
#include "base/logger.h"
#include "channels/status/provider_rpc.h"
#include "platform/runtime/asio_qbx_provider.h"

namespace qbx::StatusSource::testing {

using SourceMsg = zumbra::qbx::monitoring::MonitoringStatusSourceMsg;
using ProviderMsg = zumbra::qbx::monitoring::MonitoringStatusProviderMsg;

// Runs an empty task on the provider and waits for it: everything posted before has run.
inline void LoopFlush(AsioQbxProvider& provider) {
  auto done = std::make_shared<std::promise<void>>();
  auto f = done->get_future();
  if (provider.dispatcher().Post([done] { done->set_value(); })) f.wait();
}

class FakeProviderStream : public ProviderStream {
 public:
  FakeProviderStream(Dispatcher& dispatcher, std::shared_ptr<ProviderStreamObserver> observer)
      : dispatcher_(dispatcher), observer_(std::move(observer)) {}

  bool Next(const SourceMsg& msg) override {
    if (!IsOpen() || done_calls > 0 || refuse_writes) return false;
    written.push_back(msg);
    return true;
  }
  void Done() override { ++done_calls; }
  void Cancel() override {
    ++cancel_calls;
    cancelled = true;
  }
  bool IsOpen() const override { return !cancelled && !ended; }

  // Test thread: the provider sends `msg` on this stream.
  void Deliver(const ProviderMsg& msg) {
    dispatcher_.Post([this, msg] {
      if (observer_) observer_->Next(msg);
    });
  }
  // Test thread: the call ends (the observer gets its statuses and is released).
  void End(const std::string& status = "14: unavailable") {
    dispatcher_.Post([this, status] {
      ended = true;
      auto observer = std::move(observer_);
      if (observer) {
        observer->RemoteStatus(status);
        observer->CallStatus(status);
      }
    });
  }

  std::vector<SourceMsg> written;
  int done_calls = 0;
  int cancel_calls = 0;
  bool cancelled = false;
  bool ended = false;
  bool refuse_writes = false;

 private:
  Dispatcher& dispatcher_;
  std::shared_ptr<ProviderStreamObserver> observer_;
};

struct FakeProviderWorld {
  explicit FakeProviderWorld(Dispatcher& d) : dispatcher(d) {}

  Dispatcher& dispatcher;
  bool autoStub = false;  // complete every stub creation at once, successfully
  int connectionRequests = 0;
  int teardowns = 0;
  bool keeper = false;
  ProviderConnectionCallbacks callbacks;
  std::vector<std::function<void(std::shared_ptr<ProviderStub>, int)>> stubRequests;
  std::vector<std::shared_ptr<FakeProviderStream>> streams;
  std::vector<std::string> streamDowns;
  std::function<void(const std::string&)> onStreamDown;

  // Test thread controls.
  void Up() {
    dispatcher.Post([this] {
      if (callbacks.onUp) callbacks.onUp("127.0.0.1:9100");
    });
  }
  void Closed() {
    dispatcher.Post([this] {
      if (callbacks.onClosed) callbacks.onClosed("tcp://127.0.0.1:9100", "connection reset");
    });
  }
  void CompleteStub(size_t index, bool ok);
  void StreamDown(const std::string& reason) {
    dispatcher.Post([this, reason] {
      if (onStreamDown) onStreamDown(reason);
    });
  }
  std::shared_ptr<FakeProviderStream> LastStream() const { return streams.empty() ? nullptr : streams.back(); }
};

class FakeProviderStub : public ProviderStub {
 public:
  explicit FakeProviderStub(FakeProviderWorld& world) : world_(world) {}
  void SetOnStreamDown(std::function<void(const std::string&)> cb) override { world_.onStreamDown = std::move(cb); }
  std::shared_ptr<ProviderStream> RegisterStatusSource(std::shared_ptr<ProviderStreamObserver> observer) override {
    auto stream = std::make_shared<FakeProviderStream>(world_.dispatcher, std::move(observer));
    world_.streams.push_back(stream);
    return stream;
  }

 private:
  FakeProviderWorld& world_;
};

inline void FakeProviderWorld::CompleteStub(size_t index, bool ok) {
  dispatcher.Post([this, index, ok] {
    if (index >= stubRequests.size()) return;
    auto done = stubRequests[index];
    if (ok) {
      done(std::make_shared<FakeProviderStub>(*this), 0);
    } else {
      done(nullptr, 1);
    }
  });
}

class FakeProviderRpc : public ProviderRpc {
 public:
  explicit FakeProviderRpc(std::shared_ptr<FakeProviderWorld> world) : world_(std::move(world)) {}

  bool RequestConnection(const std::string&, const ProviderConnectionCallbacks& callbacks) override {
    ++world_->connectionRequests;
    if (world_->keeper) return false;
    world_->keeper = true;
    world_->callbacks = callbacks;
    return true;
  }
  int TeardownConnection(const std::string&) override {
    ++world_->teardowns;
    world_->keeper = false;
    world_->callbacks = ProviderConnectionCallbacks();
    return 0;
  }
  void CreateStub(const std::string&, std::chrono::milliseconds,
                  std::function<void(std::shared_ptr<ProviderStub>, int)> done) override {
    world_->stubRequests.push_back(done);
    if (world_->autoStub) world_->CompleteStub(world_->stubRequests.size() - 1, true);
  }

 private:
  std::shared_ptr<FakeProviderWorld> world_;
};

// Records what the health-agent wrapper asks of the status source.
class RecordingStatusSource : public qbx::StatusSource::StatusSource {
 public:
  bool RegisterStatusCallback(const std::string&, const std::string&, StatusCallback, CompareCallback) override {
    return true;
  }
  bool OnFullSyncRequest() override {
    ++full_sync_requests;
    return true;
  }
  void SetFullSyncNeeded() override { ++full_sync_needed; }
  void Start() override {}
  void Stop() override {}
  bool IsAlive() override { return true; }

  std::atomic<int> full_sync_requests{0};
  std::atomic<int> full_sync_needed{0};
};

// Captures log lines for the life of the object.
class LogCapture {
 public:
  explicit LogCapture(LibraryLogLevel level = loglevel::kDebug) : saved_level_(Logger::logLevel.load()) {
    Logger::logLevel = level;
    Logger::SetSinkForTest([this](int, const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() {
    Logger::SetSinkForTest(nullptr);
    Logger::logLevel = saved_level_;
  }
  int Count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& line : lines_) n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
  }
  bool Has(const std::string& text) const { return Count(text) > 0; }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  LibraryLogLevel saved_level_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A generic-status adapter double: returns the current status (or nothing), counts calls
// and the full-sync flags it was called with. Thread-safe.
class FakeStatusAdapter {
 public:
  void Set(const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    value_ = value;
    empty_ = false;
  }
  void SetEmpty() {
    std::lock_guard<std::mutex> lock(mutex_);
    empty_ = true;
  }
  void SetThrow(bool t) { throw_ = t; }
  int Calls() const { return calls_; }
  int FullSyncCalls() const { return full_sync_calls_; }

  StatusCallback Getter() {
    return [this](bool fullSync) -> std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>> {
      ++calls_;
      if (fullSync) ++full_sync_calls_;
      if (throw_) throw std::runtime_error("adapter failed");
      std::lock_guard<std::mutex> lock(mutex_);
      if (empty_) return std::nullopt;
      auto msg = std::make_shared<GenericRuntimeStatusUpdateMsg>();
      auto* p = msg->add_properties();
      p->set_key("state");
      p->set_value(value_);
      return msg;
    };
  }
  static CompareCallback Comparer() {
    return [](const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& a,
              const std::shared_ptr<GenericRuntimeStatusUpdateMsg>& b) {
      return a->SerializeAsString() == b->SerializeAsString();
    };
  }

 private:
  mutable std::mutex mutex_;
  std::string value_ = "up";
  bool empty_ = false;
  std::atomic<bool> throw_{false};
  std::atomic<int> calls_{0};
  std::atomic<int> full_sync_calls_{0};
};

// A fresh directory under the system temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qbx-status-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  std::string Write(const std::string& name, const std::string& text) const {
    const std::string p = File(name);
    std::ofstream(p, std::ios::trunc) << text;
    return p;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace qbx::StatusSource::testing
