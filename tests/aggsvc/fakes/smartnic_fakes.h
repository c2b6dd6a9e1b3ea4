// Doubles for the smart-NIC road: a wait clock moved by hand, and the host's smart NICs
// behind the vertical's sender (each answers at once, holds its answer until the test lets
// it go, or refuses the send).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/remote_collector.h"
#include "aggsvc/sn_request_sender.h"
#include "platform/mq/rmq_client.h"
#include "tests/aggsvc/fakes/fake_mpa_message_sender.h"

namespace qbx::test {

// Time moves only by Advance, which then wakes the collector's waiters.
class ManualWaitClock : public RemoteCollector::WaitClock {
 public:
  time_point Now() const override {
    std::lock_guard<std::mutex> guard(mutex_);
    return now_;
  }
  void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, time_point) override {
    cv.wait(lock);
  }
  void Advance(std::chrono::nanoseconds by, RemoteCollector& collector) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      now_ += std::chrono::duration_cast<duration>(by);
    }
    collector.WakeWaiters();
  }

 private:
  mutable std::mutex mutex_;
  time_point now_ = time_point() + std::chrono::hours(1);
};

// One reply as a smart NIC sends it back.
struct SnReply {
  SnReply() = default;
  SnReply(std::string typeId, std::string correlationId, std::string body,
          uint32_t messageType = RMQ_CLIENT_RPC_RESPONSE, std::string snUuid = "")
      : typeId(std::move(typeId)),
        correlationId(std::move(correlationId)),
        body(std::move(body)),
        messageType(messageType),
        snUuid(std::move(snUuid)) {}

  std::string typeId;
  std::string correlationId;
  std::string body;
  uint32_t messageType = RMQ_CLIENT_RPC_RESPONSE;
  // The smart NIC that sends it, carried as the record's routing key; empty for none.
  std::string snUuid;
};

// Delivers a reply the way the messaging client does: a channel record handed to the
// vertical's client on the delivering thread.
inline void DeliverSnReply(AggServiceClient& client, const std::string& app, const SnReply& reply) {
  rmqClientMessage message{};
  message.messageType = reply.messageType;
  message.payloadLen = static_cast<int64_t>(reply.body.size());
  message.payload = reinterpret_cast<uint8_t*>(const_cast<char*>(reply.body.data()));
  message.routingKey = reply.snUuid.empty() ? nullptr : const_cast<char*>(reply.snUuid.c_str());
  client.HandleSnReply(&message, app, reply.typeId, reply.correlationId);
}

// The vertical's sender on a host with smart NICs: answers to the management plane are
// recorded (FakeMpaMessageSender); requests to a smart NIC go to that smart NIC's behaviour.
class FakeSmartNics : public FakeMpaMessageSender, public SnRequestSender {
 public:
  enum class Mode { kAnswer, kHold, kRefuse };
  // What a smart NIC answers to a request; nothing for silence.
  using Answerer = std::function<std::optional<SnReply>(const SnRequest&)>;
  // What a smart NIC answers when it sends several messages for one request.
  using MultiAnswerer = std::function<std::vector<SnReply>(const SnRequest&)>;

  void Configure(const std::string& snUuid, Mode mode, Answerer answerer) {
    MultiAnswerer multi;
    if (answerer) {
      multi = [answerer](const SnRequest& request) {
        std::vector<SnReply> replies;
        if (std::optional<SnReply> reply = answerer(request)) replies.push_back(std::move(*reply));
        return replies;
      };
    }
    ConfigureReplies(snUuid, mode, std::move(multi));
  }
  void ConfigureReplies(const std::string& snUuid, Mode mode, MultiAnswerer answerer) {
    std::lock_guard<std::mutex> guard(mutex_);
    nics_[snUuid] = Nic{mode, std::move(answerer)};
  }
  // The client to which inline answers are delivered.
  void SetClient(std::weak_ptr<AggServiceClient> client) {
    std::lock_guard<std::mutex> guard(mutex_);
    client_ = std::move(client);
  }

  int SendMsgToSN(const SnRequest& request, const std::string& snUuid) override {
    std::vector<SnReply> inline_;
    std::shared_ptr<AggServiceClient> client;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      sends_.emplace_back(snUuid, request);
      cv_.notify_all();
      auto nic = nics_.find(snUuid);
      if (nic == nics_.end() || nic->second.mode == Mode::kRefuse) return -1;
      std::vector<SnReply> replies = nic->second.answerer ? nic->second.answerer(request) : std::vector<SnReply>();
      for (auto& reply : replies) {
        if (reply.snUuid.empty()) reply.snUuid = snUuid;
      }
      if (nic->second.mode == Mode::kHold) {
        for (auto& reply : replies) held_.emplace_back(request.appName, std::move(reply));
        return 0;
      }
      inline_ = std::move(replies);
      client = client_.lock();
    }
    // Answered at once, on the sending thread: the collector must not hold its lock here.
    if (client) {
      for (const auto& reply : inline_) DeliverSnReply(*client, request.appName, reply);
    }
    return 0;
  }

  // False when the sends have not come after a generous bound: a hang made a failure.
  bool WaitForSends(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(30), [&] { return sends_.size() >= count; });
  }
  std::vector<std::pair<std::string, SnRequest>> Sends() {
    std::lock_guard<std::mutex> guard(mutex_);
    return sends_;
  }
  // Delivers every held answer on the calling thread.
  void ReleaseHeld() {
    std::vector<std::pair<std::string, SnReply>> held;
    std::shared_ptr<AggServiceClient> client;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      held.swap(held_);
      client = client_.lock();
    }
    for (const auto& entry : held) {
      if (client) DeliverSnReply(*client, entry.first, entry.second);
    }
  }

 private:
  struct Nic {
    Mode mode = Mode::kAnswer;
    MultiAnswerer answerer;
  };
  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<std::string, Nic> nics_;
  std::vector<std::pair<std::string, SnRequest>> sends_;
  std::vector<std::pair<std::string, SnReply>> held_;
  std::weak_ptr<AggServiceClient> client_;
};

}  // namespace qbx::test
