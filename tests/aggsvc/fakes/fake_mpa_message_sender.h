// Recording doubles of the messaging side of a vertical: the sender and the registrar.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "aggsvc/mpa_message_sender.h"

namespace qbx::test {

struct SentMessage {
  std::string payload, typeId, correlationId, replyTo;
};

// Records every answer; Hold makes sends wait (answers pile up on the dispatcher thread).
class FakeMpaMessageSender : public MpaMessageSender {
 public:
  bool SendMsgToMpaWrapper(const std::string& payload, const std::string& typeId, const std::string& correlationId,
                           const std::string& replyTo) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++started_;
    cv_.notify_all();
    cv_.wait(lock, [this] { return !held_; });
    sent_.push_back(SentMessage{payload, typeId, correlationId, replyTo});
    cv_.notify_all();
    return true;
  }
  void SetAggServiceClient(const std::weak_ptr<AggServiceClient>& client) override {
    std::lock_guard<std::mutex> lock(mutex_);
    client_ = client;
  }
  bool Open() override { return openResult; }
  void Close() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++closes_;
  }

  void Hold(bool held) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = held;
    cv_.notify_all();
  }
  void WaitForSendsStarted(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return started_ >= count; });
  }
  void WaitForSent(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return sent_.size() >= count; });
  }
  std::vector<SentMessage> Sent() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }
  std::weak_ptr<AggServiceClient> Client() {
    std::lock_guard<std::mutex> lock(mutex_);
    return client_;
  }
  int Closes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closes_;
  }

  bool openResult = true;  // set before the client opens

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<SentMessage> sent_;
  std::weak_ptr<AggServiceClient> client_;
  size_t started_ = 0;
  bool held_ = false;
  int closes_ = 0;
};

// Hands out the configured sender (or none) and records the registrations.
class FakeMpaVerticalRegistrar : public MpaVerticalRegistrar {
 public:
  explicit FakeMpaVerticalRegistrar(std::shared_ptr<MpaMessageSender> sender) : sender_(std::move(sender)) {}
  std::shared_ptr<MpaMessageSender> RegisterVertical(const std::string& name, const ChannelContext&,
                                                     const ChannelContext&) override {
    registered.push_back(name);
    return sender_;
  }
  std::shared_ptr<MpaMessageSender> RegisterVerticalSimple(const std::string& name, const ChannelContext&) override {
    registered.push_back(name + " (simple)");
    return nullptr;
  }
  std::vector<std::string> registered;

 private:
  std::shared_ptr<MpaMessageSender> sender_;
};

}  // namespace qbx::test
