// Test doubles of the messaging-channel tests: a captured log, a timer factory whose
// timers fire only when the test says so, recording call handles, a test vertical with a
// recording aggregation-service client, and an RPC-transport MPA client that answers
// replies through the application layer (as the management-plane transport does).
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical.h"
#include "base/logger.h"
#include "channels/mpa/agg_svc_host_service.h"
#include "channels/mpa/mpa_client.h"
#include "channels/mpa/mpa_client_agg_service.h"
#include "channels/mpa/server_call_handle.h"
#include "platform/runtime/timer.h"

namespace qbx::testing {

// Captures every log line while alive.
class LogCapture {
 public:
  LogCapture() {
    saved_ = Logger::logLevel.load();
    Logger::logLevel = loglevel::kDebug;
    Logger::SetSinkForTest([this](int, const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() {
    Logger::SetSinkForTest(nullptr);
    Logger::logLevel = saved_;
  }
  bool Contains(const std::string& text) const { return Count(text) > 0; }
  // A record tagged "errorCode:<code>" (rendered as errorCode="<code>").
  bool HasTag(const std::string& code) const { return Count("errorCode=\"" + code + "\"") > 0; }
  size_t TagCount(const std::string& code) const { return Count("errorCode=\"" + code + "\""); }
  size_t Count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(),
                                             [&](const std::string& l) { return l.find(text) != std::string::npos; }));
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  // Everything captured, one line each (for failure messages).
  std::string Dump() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const auto& l : lines_) out += l + "\n";
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  LibraryLogLevel saved_;
};

// Timers that fire only through Fire(); records the requested delays.
class FakeTimerFactory : public TimerFactory {
 public:
  struct FakeTimer : Timer {
    void Cancel() override { cancelled = true; }
    bool IsCancelled() const override { return cancelled; }
    std::atomic<bool> cancelled{false};
  };
  struct Entry {
    std::chrono::nanoseconds delay;
    Action action;
    std::shared_ptr<FakeTimer> timer;
  };

  std::shared_ptr<Timer> Schedule(std::chrono::nanoseconds delay, Action action) override {
    auto timer = std::make_shared<FakeTimer>();
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(Entry{delay, std::move(action), timer});
    return timer;
  }
  std::shared_ptr<Timer> ScheduleRepeated(std::chrono::nanoseconds interval, Action action,
                                          const TimerOptions&) override {
    return Schedule(interval, std::move(action));
  }
  // Runs every pending, uncancelled timer once (outside the lock); returns how many ran.
  int FireAll() {
    std::vector<Entry> due;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      due.swap(entries_);
    }
    int fired = 0;
    for (auto& e : due) {
      if (e.timer->cancelled) continue;
      e.action();
      ++fired;
    }
    return fired;
  }
  std::vector<std::chrono::nanoseconds> PendingDelays() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::chrono::nanoseconds> delays;
    for (auto& e : entries_) {
      if (!e.timer->cancelled) delays.push_back(e.delay);
    }
    return delays;
  }

 private:
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

// A call handle that records how it was completed.
template <class Reply>
class RecordingCallHandle : public ServerCallHandle<Reply>, private ServerStreamWriter<Reply> {
 public:
  ServerStreamWriter<Reply>* writer() override { return this; }
  bool IsCompleted() const override { return lasts + errors > 0; }
  int lasts = 0;
  int errors = 0;
  rpc::AppStatus lastError = rpc::AppStatus::OK;
  Reply reply;

 private:
  bool Last(const Reply& r) override {
    reply = r;
    ++lasts;
    return true;
  }
  bool Error(rpc::AppStatus status) override {
    lastError = status;
    ++errors;
    return true;
  }
};

class TestVertical : public Vertical {
 public:
  explicit TestVertical(const std::string& name) : Vertical(name, false) {}
  const char* GetName() override { return Name().c_str(); }
  void RegisterCallbacks(std::shared_ptr<AggServiceClient>) override {}
};

// An aggregation-service client whose request handling the test scripts: it records each
// request and runs `onRequest` (which may answer through the sender, or throw).
class RecordingAggServiceClient : public AggServiceClient {
 public:
  struct Request {
    std::string payload;
    std::string typeId;
    std::string correlationId;
    std::string replyTo;
  };
  explicit RecordingAggServiceClient(const std::string& name)
      : AggServiceClient(std::make_shared<TestVertical>(name), nullptr, nullptr) {}

  int ProcessReceivedMessage(const char* payload, int32_t length, const MsgMetadata& metadata) override {
    Request r{std::string(payload != nullptr ? payload : "", payload != nullptr ? static_cast<size_t>(length) : 0),
              metadata.GetTypeId(), metadata.GetCorrelationId(), metadata.GetReplyTo()};
    std::function<int(const Request&)> handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(r);
      handler = onRequest.Get();
    }
    cond_.notify_all();
    return handler ? handler(r) : 0;
  }
  void SetMPVersion(uint32_t major, uint32_t minor) override {
    mpMajor = major;
    mpMinor = minor;
    AggServiceClient::SetMPVersion(major, minor);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++versionSets_;
    }
    cond_.notify_all();
  }
  // Waits (bounded) until `n` acknowledgements set the version.
  bool WaitForVersionSets(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, std::chrono::seconds(20), [&] { return versionSets_ >= n; });
  }
  void HandleSnReply(rmqClientMessage*, const std::string& appName, const std::string& typeId,
                     const std::string& correlationId) override {
    std::lock_guard<std::mutex> lock(mutex_);
    snReplies.push_back(appName + "|" + typeId + "|" + correlationId);
  }

  // Waits (bounded) until `n` requests were seen; the bound only guards against a hang.
  bool WaitForRequests(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, std::chrono::seconds(20), [&] { return requests_.size() >= n; });
  }
  std::vector<Request> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  // Set by the test thread while the dequeue thread may read it, hence its own lock.
  class Handler {
   public:
    Handler& operator=(std::function<int(const Request&)> f) {
      std::lock_guard<std::mutex> lock(mutex_);
      f_ = std::move(f);
      return *this;
    }
    std::function<int(const Request&)> Get() const {
      std::lock_guard<std::mutex> lock(mutex_);
      return f_;
    }

   private:
    mutable std::mutex mutex_;
    std::function<int(const Request&)> f_;
  };
  Handler onRequest;
  std::atomic<uint32_t> mpMajor{0};
  std::atomic<uint32_t> mpMinor{0};
  std::vector<std::string> snReplies;

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<Request> requests_;
  int versionSets_ = 0;
};

// The RPC transport as far as these tests need it: the application layer of the
// aggregation applications, registered with the host service, and the send routing of
// replies (type 11) and publishes (4, 10, 12).
class TestRpcMpaClient : public MpaClient {
 public:
  explicit TestRpcMpaClient(const CreateArgs& args, std::shared_ptr<const Clock> clock = nullptr)
      : MpaClient(args), clock_(std::move(clock)) {}

  void CreateAppSpecificInstance(const std::shared_ptr<MpaClient>& self) override {
    auto layer = std::make_shared<MpaClientAggService>(appName(), self, clock_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      appSpecific_ = layer;
    }
    AggSvcHostService::CreateInstance();
    AggSvcHostService::Register(layer, appName());
  }
  void ReleaseAppSpecificInstance() override {
    std::lock_guard<std::mutex> lock(mutex_);
    appSpecific_.reset();
  }
  int32_t SendMsgViaTnProxy(rmqClientMessage* message, const std::string& correlationId,
                            const std::string& aphUuid) override {
    auto layer = AppSpecific();
    if (message == nullptr || !layer) return -1;
    std::string id = correlationId;
    switch (message->messageType) {
      case 4: case 10: case 12: return layer->SendMsg(message, id, aphUuid);
      case 11: return layer->RespondMsg(message, correlationId);
      default: return -1;
    }
  }
  int32_t MsgHandler(const zumbra::qbx::messaging::GenericUnifiedMsg& request, const std::string&,
                     rpc::CallObserver<zumbra::qbx::VoidMsg>* observer) override {
    std::lock_guard<std::mutex> lock(mutex_);
    published.push_back(request);
    delete observer;
    return 0;
  }
  std::shared_ptr<MpaClientAppSpecific> AppSpecific() {
    std::lock_guard<std::mutex> lock(mutex_);
    return appSpecific_;
  }
  std::shared_ptr<MpaClientAppSpecific> AppSpecificLayer() override { return AppSpecific(); }

  std::vector<zumbra::qbx::messaging::GenericUnifiedMsg> published;

 private:
  std::shared_ptr<const Clock> clock_;
  std::mutex mutex_;
  std::shared_ptr<MpaClientAppSpecific> appSpecific_;
};

}  // namespace qbx::testing
