// What the two proxy stand-ins share: the proxy-information side (its subscribers, the
// current update each new one gets and the pushes to all of them), the destination
// watchers of the forwarding side, both servers with their ports, and the record of change
// that the tests wait on.
//
// Threading: every public operation may be called from any thread. mutex_ guards the state
// of this class and the recorded state of the stand-in built on it; it is never held while
// calling into gRPC. The stand-in's destructor stops both sides (StopInfo/StopForwarding)
// before its own services go.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <grpcpp/grpcpp.h>
#include <grpcpp/health_check_service_interface.h>

#include "tools/standin_common/standin_grpc.h"
#include "zumbra/qbx/rpc/forwarding.pb.h"

namespace qbx::tools {

// `InfoService` is the proxy-information service (its generated class), `InfoRequest` and
// `InfoResponse` the subscription's messages.
template <class InfoService, class InfoRequest, class InfoResponse>
class ProxyStandinBase {
 public:
  ProxyStandinBase(const ProxyStandinBase&) = delete;
  ProxyStandinBase& operator=(const ProxyStandinBase&) = delete;

  int InfoPort() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return infoPort_;
  }
  int ForwardingPort() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return forwardingPort_;
  }

  void SetProductVersion(int32_t major, int32_t minor) {
    std::lock_guard<std::mutex> lock(mutex_);
    major_ = major;
    minor_ = minor;
  }
  // Pushes `msg` as it is (and keeps it as the current update).
  void PushRaw(const InfoResponse& msg) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      raw_ = true;
      rawMsg_ = msg;
    }
    Broadcast(msg);
  }
  // Ends every subscription with UNAVAILABLE; the connection stays up.
  void EndSubscriptions() { EndSubscribers("subscription ended"); }
  int SubscriptionCount() const {  // subscriptions ever opened
    std::lock_guard<std::mutex> lock(mutex_);
    return subscriptions_;
  }
  int ActiveSubscribers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(subscribers_.size());
  }
  int DestinationWatchers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(watchers_.size());
  }

  // Stops serving the forwarding side. The calls it still holds open are ended first: the
  // server's shutdown waits for them.
  void StopForwarding() {
    std::unique_ptr<grpc::Server> server;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      server = std::move(forwardingServer_);
    }
    if (!server) return;
    EndOpenCalls();
    std::vector<std::shared_ptr<DestinationWatcher>> watchers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      watchers = watchers_;
    }
    for (const auto& w : watchers) w->End(grpc::Status(grpc::StatusCode::UNAVAILABLE, "forwarding stopped"));
    server->Shutdown(std::chrono::system_clock::now());
  }

  // Waits until `pred` holds or `limit` passes; re-checked after every recorded change.
  bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit) const {
    return WaitForChange(mutex_, changed_, generation_, pred, limit);
  }

 protected:
  ProxyStandinBase() : infoSide_(this) {}
  virtual ~ProxyStandinBase() = default;

  // The current update (mutex_ held).
  virtual InfoResponse BuildCurrent() const = 0;
  // Whether a new subscriber gets the current update at once (mutex_ held).
  virtual bool SendsCurrentOnSubscribe() const { return true; }
  // Ends the calls the forwarding side holds open (held or late answers); no lock held.
  virtual void EndOpenCalls() = 0;

  // Serves the information service on `address`, marked in the health answers as not
  // serving while infoRefused_; the bound port, or -1.
  int ServeInfo(const std::string& address) {
    const std::string name = InfoService::service_full_name();
    int port = -1;
    auto server = ServeWithHealth(address, {{&infoSide_, name}}, &port);
    if (!server || port <= 0) return -1;
    bool refused = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      refused = infoRefused_;
    }
    if (refused) server->GetHealthCheckService()->SetServingStatus(name, false);
    std::lock_guard<std::mutex> lock(mutex_);
    infoServer_ = std::move(server);
    infoPort_ = port;
    return port;
  }
  // Stops serving the information side; its subscriptions end UNAVAILABLE with `why`.
  void StopInfoServer(const char* why) {
    std::unique_ptr<grpc::Server> server;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      server = std::move(infoServer_);
    }
    EndSubscribers(why);
    if (server) server->Shutdown(std::chrono::system_clock::now());
  }
  // Keeps a started forwarding server; its port, or -1 when it did not start.
  int KeepForwardingServer(std::unique_ptr<grpc::Server> server, int port) {
    if (!server || port <= 0) return -1;
    std::lock_guard<std::mutex> lock(mutex_);
    forwardingServer_ = std::move(server);
    forwardingPort_ = port;
    return port;
  }

  void Broadcast(const InfoResponse& msg) {
    std::vector<std::shared_ptr<Subscriber>> subscribers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      subscribers = subscribers_;
    }
    for (const auto& s : subscribers) s->Push(msg);
  }

  // A new watcher of the destinations whose streams the forwarding side ends.
  grpc::ServerWriteReactor<zumbra::qbx::rpc::DestinationEndedMsg>* Watch() {
    auto watcher = std::make_shared<DestinationWatcher>(this);
    watcher->Keep(watcher);
    std::lock_guard<std::mutex> lock(mutex_);
    watchers_.push_back(watcher);
    Changed();
    return watcher.get();
  }
  // Tells every watcher that the stream to `destination` ended with `reason`; false when
  // nobody watches.
  bool EndDestinationStream(const std::string& destination, uint32_t reason) {
    std::vector<std::shared_ptr<DestinationWatcher>> watchers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      watchers = watchers_;
    }
    zumbra::qbx::rpc::DestinationEndedMsg ended;
    ended.set_id(StripPrefix(destination, "qbx://"));
    ended.set_reason(reason);
    for (const auto& w : watchers) w->Push(ended);
    return !watchers.empty();
  }

  void Changed() {  // mutex_ held
    ++generation_;
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  int32_t major_ = 4;
  int32_t minor_ = 2;
  bool raw_ = false;
  InfoResponse rawMsg_;
  bool infoRefused_ = false;
  std::unique_ptr<grpc::Server> infoServer_;
  std::unique_ptr<grpc::Server> forwardingServer_;
  int infoPort_ = -1;
  int forwardingPort_ = -1;

 private:
  // One subscription: a queue of updates written one at a time.
  class Subscriber : public UpdateWriter<InfoResponse> {
   public:
    explicit Subscriber(ProxyStandinBase* owner) : owner_(owner) {}

   private:
    void OnEnded() override { owner_->OnSubscriberDone(this); }
    ProxyStandinBase* const owner_;
  };

  // One process watching which destinations' streams the forwarding side ends.
  class DestinationWatcher : public UpdateWriter<zumbra::qbx::rpc::DestinationEndedMsg> {
   public:
    explicit DestinationWatcher(ProxyStandinBase* owner) : owner_(owner) {}

   private:
    void OnEnded() override { owner_->OnWatcherDone(this); }
    ProxyStandinBase* const owner_;
  };

  class InfoSide : public InfoService::CallbackService {
   public:
    explicit InfoSide(ProxyStandinBase* owner) : owner_(owner) {}
    grpc::ServerWriteReactor<InfoResponse>* Subscribe(grpc::CallbackServerContext* /*context*/,
                                                      const InfoRequest* /*req*/) override {
      auto subscriber = std::make_shared<Subscriber>(owner_);
      subscriber->Keep(subscriber);
      owner_->OnSubscribe(subscriber);
      return subscriber.get();
    }

   private:
    ProxyStandinBase* const owner_;
  };

  void OnSubscribe(const std::shared_ptr<Subscriber>& subscriber) {
    InfoResponse current;
    bool send = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      subscribers_.push_back(subscriber);
      ++subscriptions_;
      current = BuildCurrent();
      send = SendsCurrentOnSubscribe();
      Changed();
    }
    if (send) subscriber->Push(current);
  }
  void OnSubscriberDone(const Subscriber* subscriber) { Forget(subscribers_, subscriber); }
  void OnWatcherDone(const DestinationWatcher* watcher) { Forget(watchers_, watcher); }
  // Drops the stream `gone` from `streams` once gRPC is done with it.
  template <class Stream>
  void Forget(std::vector<std::shared_ptr<Stream>>& streams, const Stream* gone) {
    std::lock_guard<std::mutex> lock(mutex_);
    streams.erase(std::remove_if(streams.begin(), streams.end(), [gone](const auto& s) { return s.get() == gone; }),
                  streams.end());
    Changed();
  }
  void EndSubscribers(const char* why) {
    std::vector<std::shared_ptr<Subscriber>> subscribers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      subscribers = subscribers_;
    }
    for (const auto& s : subscribers) s->End(grpc::Status(grpc::StatusCode::UNAVAILABLE, why));
  }

  InfoSide infoSide_;
  mutable std::condition_variable changed_;
  uint64_t generation_ = 0;
  std::vector<std::shared_ptr<Subscriber>> subscribers_;
  int subscriptions_ = 0;
  std::vector<std::shared_ptr<DestinationWatcher>> watchers_;
};

}  // namespace qbx::tools
