// Test doubles of the RPC layer's seams: a dispatcher whose queue the test drains, a timer
// service whose timers the test fires, a transport and channels that answer when told.
#pragma once

#include <boost/system/error_code.hpp>
#include <cerrno>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/rpc/connection.h"
#include "platform/rpc/rpc_channel.h"
#include "platform/runtime/dispatcher.h"
#include "platform/runtime/timer.h"

namespace qbx {
namespace testing {

class QueueDispatcher : public Dispatcher {
 public:
  bool Post(Task task) override {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    return true;
  }
  bool IsLoopThread() const override { return true; }
  // Runs what is queued, including what the tasks queue; returns how many ran.
  size_t RunAll() {
    size_t n = 0;
    for (;;) {
      Task t;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (tasks_.empty()) return n;
        t = std::move(tasks_.front());
        tasks_.pop_front();
      }
      t();
      ++n;
    }
  }
  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tasks_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::deque<Task> tasks_;
};

class FakeTimer : public Timer {
 public:
  void Cancel() override { cancelled = true; }
  bool IsCancelled() const override { return cancelled; }
  bool cancelled = false;
};

class FakeTimers : public TimerFactory {
 public:
  struct Entry {
    std::chrono::nanoseconds delay;
    Action action;
    std::shared_ptr<FakeTimer> timer;
    bool fired = false;
  };
  std::shared_ptr<Timer> Schedule(std::chrono::nanoseconds delay, Action action) override {
    auto t = std::make_shared<FakeTimer>();
    entries.push_back(Entry{delay, std::move(action), t});
    return t;
  }
  std::shared_ptr<Timer> ScheduleRepeated(std::chrono::nanoseconds interval, Action action,
                                          const TimerOptions&) override {
    return Schedule(interval, std::move(action));
  }
  // Fires entry `i` unless it was cancelled (a dropped handle does not cancel).
  void Fire(size_t i) {
    auto& e = entries.at(i);
    if (e.fired || e.timer->cancelled) return;
    e.fired = true;
    auto action = e.action;
    action();
  }
  std::vector<Entry> entries;
};

// A channel whose activation the test answers.
class FakeChannel : public rpc::RpcChannel {
 public:
  FakeChannel(const net::Endpoint& endpoint, const std::string& service, std::shared_ptr<rpc::Connection> connection,
              std::shared_ptr<Dispatcher> dispatcher)
      : RpcChannel(endpoint, service, std::move(connection), rpc::RpcChannelOptions{}, dispatcher,
                   std::chrono::milliseconds(100)) {}
  void Activate(ChannelHandler handler) override { pending = std::move(handler); }
  void Close(rpc::CloseReason reason) override {
    closed_with.push_back(reason);
    RpcChannel::Close(reason);
  }
  // Answers the activation (success unless `error`).
  void Answer(int error = 0) {
    auto h = std::move(pending);
    pending = nullptr;
    boost::system::error_code ec;
    if (error != 0) ec = boost::system::error_code(error, boost::system::generic_category());
    h(ec, error != 0 ? nullptr : std::static_pointer_cast<RpcChannel>(shared_from_this()));
  }
  ChannelHandler pending;
  std::vector<rpc::CloseReason> closed_with;
};

class FakeChannelFactory : public rpc::ChannelFactory {
 public:
  explicit FakeChannelFactory(std::shared_ptr<Dispatcher> d) : dispatcher_(std::move(d)) {}
  std::shared_ptr<rpc::RpcChannel> CreateChannel(const net::Endpoint& endpoint, const std::string& service,
                                                 const std::shared_ptr<rpc::Connection>& connection,
                                                 const rpc::RpcChannelOptions&) override {
    auto c = std::make_shared<FakeChannel>(endpoint, service, connection, dispatcher_);
    services.push_back(service);
    channels.push_back(c);
    return c;
  }
  std::vector<std::string> services;
  std::vector<std::shared_ptr<FakeChannel>> channels;

 private:
  std::shared_ptr<Dispatcher> dispatcher_;
};

// A transport whose connection requests the test answers, later, through the dispatcher.
class FakeTransport : public rpc::TransportInterface {
 public:
  explicit FakeTransport(std::shared_ptr<Dispatcher> d) : dispatcher_(std::move(d)) {}
  void GetConnection(const net::Endpoint& endpoint, ConnectHandler handler) override {
    endpoints.push_back(endpoint.uri());
    pending.push_back(std::move(handler));
  }
  bool IsShutdown() const override { return shutdown; }
  void Shutdown() override { shutdown = true; }

  // Answers the oldest request: a connection, or the error `error`.
  void Answer(int error = 0) {
    auto h = std::move(pending.front());
    pending.pop_front();
    std::shared_ptr<rpc::Connection> connection;
    boost::system::error_code ec;
    if (error == 0) {
      connection = std::make_shared<rpc::Connection>(net::Endpoint("tcp://127.0.0.1:1"), nullptr, dispatcher_);
      connections.push_back(connection);
    } else {
      ec = boost::system::error_code(error, boost::system::generic_category());
    }
    dispatcher_->Post([h, ec, connection] { h(ec, connection); });
  }

  std::vector<std::string> endpoints;
  std::deque<ConnectHandler> pending;
  std::vector<std::shared_ptr<rpc::Connection>> connections;
  bool shutdown = false;

 private:
  std::shared_ptr<Dispatcher> dispatcher_;
};

// Captures log lines while alive.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  bool Contains(const std::string& text) const;
  size_t Count(const std::string& text) const;
  std::vector<std::string> Lines() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  int saved_level_;
};

}  // namespace testing
}  // namespace qbx
