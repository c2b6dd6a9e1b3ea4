// The gRPC pieces every stand-in peer serves with.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <map>
#include <set>

#include <grpcpp/generic/async_generic_service.h>
#include <grpcpp/grpcpp.h>

#include "zumbra/qbx/messaging/unified.pb.h"

namespace qbx::tools {

// The metadata keys a forwarded call carries: where it goes and who sent it.
inline constexpr char kDestinationKey[] = "qbx-destination";
inline constexpr char kCallerKey[] = "qbx-caller";

// "8-4-4-4-12" hexadecimal text into the two halves; false when it is not one.
bool ParseUuid(const std::string& text, zumbra::qbx::UuidMsg& out);

// The value of the call's metadata `key`; empty when the call has none.
std::string MetadataValue(const grpc::CallbackServerContext* context, const char* key);

// `text` without a leading `prefix`; `text` as it is when it does not start with it.
std::string StripPrefix(const std::string& text, const char* prefix);

// Serves `services` on `address` and marks each one with a name as serving in the health
// answers: the peers check a service's health before they make a stub for it. Null when
// nothing could be served; `port` gets the bound port.
std::unique_ptr<grpc::Server> ServeWithHealth(const std::string& address,
                                              const std::vector<std::pair<grpc::Service*, std::string>>& services,
                                              int* port);

// Health answers that can refuse a service to one destination. A peer checks a service's
// health, with the destination in the call's metadata, before it makes a stub for it: a
// refused check fails that one stub creation while the connection and every other
// destination stay up. Serve it with ServeWithDestinationHealth.
//
// Threading: every operation may be called from any thread; mutex_ guards the tables and
// is never held while gRPC is called.
class DestinationHealth {
 public:
  void SetServing(const std::string& service, bool serving);
  // The next `times` checks towards `destination` are refused; a negative count refuses
  // them until ClearFailures.
  void FailDestination(const std::string& destination, int times);
  void ClearFailures(const std::string& destination);
  // While held, checks towards `destination` wait unanswered; releasing answers them.
  void HoldDestination(const std::string& destination, bool hold);
  int HeldChecks() const;
  int Checks(const std::string& destination) const;         // checks seen, refused or not
  int RefusedChecks(const std::string& destination) const;  // checks refused

  // The generic service one server answers the checks with: gRPC binds a generic service
  // to one server only, so each server gets its own, kept as long as this object.
  grpc::CallbackGenericService* NewServerFront();

 private:
  class Reactor;
  // True when `service` serves `destination` now; counts the check.
  bool Answer(const std::string& service, const std::string& destination, bool& known);
  // Keeps `reactor` waiting when its destination is held; false when it may answer now.
  bool HoldIfHeld(Reactor* reactor, const std::string& destination);
  void Forget(Reactor* reactor);

  mutable std::mutex mutex_;
  std::map<std::string, bool> serving_;
  std::map<std::string, int> failuresLeft_;  // negative: until cleared
  std::map<std::string, int> checks_;
  std::map<std::string, int> refused_;
  std::set<std::string> held_;
  std::map<Reactor*, std::pair<std::shared_ptr<Reactor>, std::string>> waiting_;  // held checks
  std::vector<std::unique_ptr<grpc::CallbackGenericService>> fronts_;
};

// As ServeWithHealth, with `health` (which must outlive the server) answering the health
// checks in place of gRPC's own health service.
std::unique_ptr<grpc::Server> ServeWithDestinationHealth(
    const std::string& address, const std::vector<std::pair<grpc::Service*, std::string>>& services,
    DestinationHealth* health, int* port);

// Waits until `pred` holds or `limit` passes. `pred` runs without `mutex` held and is run
// again after every step of `generation` (guarded by `mutex`, stepped with `changed`
// notified).
bool WaitForChange(std::mutex& mutex, std::condition_variable& changed, const uint64_t& generation,
                   const std::function<bool()>& pred, std::chrono::milliseconds limit);

// One subscription to a stream of updates: a queue of updates written one at a time. It
// keeps itself alive (Keep) until gRPC is done with it; OnEnded is then called once.
template <class Msg>
class UpdateWriter : public grpc::ServerWriteReactor<Msg> {
 public:
  void Keep(const std::shared_ptr<UpdateWriter>& self) { self_ = self; }

  void Push(const Msg& msg) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (done_ || finishing_) return;
      queue_.push_back(msg);
      if (writing_) return;
      writing_ = true;
      current_ = std::move(queue_.front());
      queue_.erase(queue_.begin());
    }
    this->StartWrite(&current_);
  }

  void End(const grpc::Status& status) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (done_ || finishing_) return;
      finishing_ = true;
      queue_.clear();
      status_ = status;
      if (writing_) return;  // finished when the write completes
    }
    this->Finish(status);
  }

  void OnWriteDone(bool ok) override {
    bool finish = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      writing_ = false;
      if (!ok) {
        finishing_ = true;
        queue_.clear();
        status_ = grpc::Status::CANCELLED;
      }
      if (finishing_) {
        finish = true;
      } else if (!queue_.empty()) {
        writing_ = true;
        current_ = std::move(queue_.front());
        queue_.erase(queue_.begin());
      } else {
        return;
      }
    }
    if (finish) {
      this->Finish(status_);
    } else {
      this->StartWrite(&current_);
    }
  }

  // A peer that goes away gets the call finished at once: a reactor that never finishes
  // would keep the server's shutdown waiting.
  void OnCancel() override { End(grpc::Status::CANCELLED); }

  void OnDone() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    OnEnded();
    self_.reset();  // may destroy this object: nothing after it
  }

 protected:
  virtual void OnEnded() = 0;

 private:
  std::shared_ptr<UpdateWriter> self_;
  std::mutex mutex_;
  std::vector<Msg> queue_;
  Msg current_;
  bool writing_ = false;
  bool finishing_ = false;
  bool done_ = false;
  grpc::Status status_;
};

}  // namespace qbx::tools
