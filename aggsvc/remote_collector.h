// The host side of the conversation with the smart NICs ("SN RemoteCollector"): for one app
// (vertical) at a time it sends a request to the host's smart NICs through the app's
// smart-NIC sender, waits at most 5 s for their replies, files each reply that belongs to
// the request, and lends the filed replies to the merges of the smart-NIC adapters.
//
// Every fan-out has a record of its own (expected reply type, correlation id, the smart NICs
// asked and those that answered, and the replies). The wait ends when every smart NIC asked
// has answered: a smart NIC that sends several messages for one request has them all filed
// while the fan-out lives, and its second message does not stand in for another smart NIC's
// answer. A reply says which smart NIC sent it through its record's routing key. A reply is filed only in the fan-out of
// its app and kind whose correlation id and type it carries; one that finds none (late, or
// for another request) is logged and dropped. When the fan-out ends, its replies become the
// calling thread's last results for that app and kind; the readers hand out copies of
// those. So two fan-outs of one vertical (a runtime-status poll and a runtime-status
// request, say) never see each other's replies, and a merge reads what its own fan-out
// collected, whatever another thread does meanwhile.
//
// Threading model:
// - RetrieveInfo runs on the thread that handles a request (or the status source's poller)
//   and blocks it for at most the wait time, measured on the steady clock from the start of
//   the fan-out. It holds `mutex` only to set up, to file and to wait; the sends run with no
//   lock held, so a sender may deliver replies on any thread, the calling one included.
// - ProcessSnResponse runs on the messaging client's thread that delivers smart-NIC replies;
//   it holds `mutex` while it files the reply and wakes the waiters.
// - Readers take `mutex` to copy a list. SetMpaStub may run on any thread.
// - `mutex` guards every field below it; no callback or send runs under it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "aggsvc/msg_metadata.h"
#include "aggsvc/sn_request_sender.h"
#include "platform/runtime/clock.h"

struct rmqClientMessage;

namespace zumbra::qbx::agg_service::messaging {
class TargetTypeStatsMsg;
}

class RemoteCollector {
 public:
  static constexpr uint16_t kWaitTimeSeconds = 5;
  // Last results kept per (app, kind) for this many threads at most.
  static constexpr size_t kMaxResultThreads = 32;

  // The time source of the wait: steady in production; tests move it by hand and then call
  // WakeWaiters.
  class WaitClock : public qbx::Clock {
   public:
    // Blocks on `cv` (with `lock` held on entry and on return) until notified or until the
    // deadline; may return early. A clock moved by hand waits for a notification only.
    virtual void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                           time_point deadline) = 0;
  };
  class SteadyWaitClock : public WaitClock {
   public:
    time_point Now() const override { return std::chrono::steady_clock::now(); }
    void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, time_point deadline) override {
      cv.wait_until(lock, deadline);
    }
  };

  // Where the host's smart NICs are: their management addresses, and the id of the smart
  // NIC at an address. Empty members fall back to the smart-NIC topology library.
  struct Topology {
    std::function<std::vector<std::string>()> mgmtIpList;
    std::function<std::string(const std::string&)> uuidFromIp;
  };

  using StatsReplies = std::vector<std::shared_ptr<const zumbra::qbx::agg_service::messaging::TargetTypeStatsMsg>>;

  RemoteCollector();
  RemoteCollector(std::shared_ptr<WaitClock> clock, Topology topology);
  ~RemoteCollector();
  RemoteCollector(const RemoteCollector&) = delete;
  RemoteCollector& operator=(const RemoteCollector&) = delete;

  // Logs the start and fills the table of management-plane type names.
  void Start();

  // Sends the request to every smart NIC of the host and waits for the replies.
  void RetrieveInfo(const std::string& appName, const char* bytes, int32_t length, const MsgMetadata& metadata);
  // The same for the given smart NICs only, each asked once, in the given order.
  void RetrieveInfo(const std::string& appName, const char* bytes, int32_t length, const MsgMetadata& metadata,
                    const std::vector<std::string>& snIds);

  // A reply from a smart NIC (messaging thread); the record's routing key names the smart
  // NIC. Never throws.
  void ProcessSnResponse(const rmqClientMessage* message, const std::string& appName, const std::string& typeId,
                         const std::string& correlationId);

  static std::string GetReplyProtobufName(const std::string& requestTypeId);

  // Copies of the calling thread's last results for the app (see the class comment); empty
  // when there are none.
  StatsReplies GetStatsReplies(const std::string& appName);
  std::list<std::string> GetStatusCache(const std::string& appName, const std::string& protoTypeName);
  std::list<std::string> GetGenericStatusCache(const std::string& appName, const std::string& typeName);
  // Drops the calling thread's last results for the app and kind: a request that could not
  // be sent must not be merged with the answers to an earlier one.
  void ForgetResults(const std::string& appName, bool runtimeStatus);

  // The app's smart-NIC sender (mpaStubMap); replaces an earlier entry; null is kept and
  // refused at send time.
  void SetMpaStub(const std::string& appName, std::shared_ptr<SnRequestSender> sender);
  // Wakes every waiting fan-out so that it reads the clock again (clocks moved by hand).
  void WakeWaiters();

  uint16_t WaitTime() const { return waitTime; }

 private:
  struct Results {
    StatsReplies stats;
    std::unordered_map<std::string, std::list<std::string>> statusCache;
    std::unordered_map<std::string, std::list<std::string>> genericStatusCache;
  };
  struct FanOut {
    std::string appName;
    std::string type;  // the expected reply type
    std::string correlationId;
    // Smart NICs that took the request (their sends returned 0).
    std::set<std::string> asked;
    // Smart NICs that answered, by the id their reply carries; a reply that names none
    // counts as one answer of its own.
    std::set<std::string> answeredBy;
    uint32_t anonymousAnswers = 0;
    Results results;

    bool AllAnswered() const {
      size_t answered = anonymousAnswers;
      for (const auto& id : asked) answered += answeredBy.count(id);
      return answered >= asked.size();
    }
  };
  struct ThreadResults {
    uint64_t stamp = 0;
    Results results;
  };
  struct Record {
    std::list<std::shared_ptr<FanOut>> active;
    std::unordered_map<std::thread::id, ThreadResults> last;
  };
  using RecordMap = std::unordered_map<std::string, Record>;

  void FanOutAndWait(const std::string& appName, const char* bytes, int32_t length, const MsgMetadata& metadata,
                     const std::vector<std::string>* snIds);
  void ProcessPayload(const std::string& appName, const std::string& typeId, const std::string& correlationId,
                      const std::string& snId, const uint8_t* body, size_t length, bool runtimeStatus);
  const Results* ThreadResultsOf(const std::string& appName, bool runtimeStatus);
  std::vector<std::string> SmartNicIds();

  const uint16_t waitTime = kWaitTimeSeconds;
  std::shared_ptr<WaitClock> clock;
  Topology topology;

  std::mutex mutex;
  std::condition_variable cv;
  std::unordered_map<std::string, std::shared_ptr<SnRequestSender>> mpaStubMap;
  std::map<std::string, std::string> mpNames;
  RecordMap requests;               // statistics and client-data requests
  RecordMap genericStatusRequests;  // generic runtime-status requests
  uint64_t resultStamp = 0;
};
