// A stand-in of the node's transport-node proxy with the management plane's application
// proxies (APHs) behind it.
//
// - The proxy-information side serves ApplProxyInfoService: every subscriber gets the
//   current update at once and every later one (APH list with its master, the node's uuid,
//   the product version). Controls push a new list, a raw (possibly malformed) update, end
//   every subscription, or refuse the service in its health answers.
// - The forwarding side serves AggSvcMpService for the APHs: a call is routed by its
//   "qbx-destination" metadata to the APH of that id. An APH answers app-init requests
//   (configurable: reply, fail, or hold until released), and records every other request
//   and every publish. Calls to an unknown APH end NOT_FOUND. The forwarding side can be
//   stopped and started again on the same port, as a dropped forwarding connection.
//
// Threading: every public operation may be called from any thread. mutex_ guards all
// recorded state and the subscriber list; it is never held while calling into gRPC.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "zumbra/qbx/messaging/appl_proxy_info.pb.h"
#include "zumbra/qbx/messaging/unified.pb.h"

namespace grpc {
class Server;
class ServerUnaryReactor;
}  // namespace grpc

namespace qbx::tools {

class TnProxyStandin {
 public:
  static constexpr const char* kInfoAddress = "127.0.0.1:9004";
  static constexpr const char* kForwardingAddress = "127.0.0.1:4096";
  // A node uuid whose spread delays are short (its hash keeps them near their floor).
  static constexpr const char* kDefaultTnUuid = "6d2f0a3e-58c1-4b7e-9a40-1f3c2b7d8e55";
  static constexpr size_t kMaxRecorded = 4096;

  struct Aph {
    std::string uuid;
    bool master = false;
  };
  enum class AppInitMode { kReply, kFail, kHold };

  // One request that reached an APH (app-init requests excluded).
  struct Received {
    std::string aph;
    bool publish = false;
    zumbra::qbx::messaging::GenericUnifiedMsg msg;
  };

  TnProxyStandin();
  ~TnProxyStandin();
  TnProxyStandin(const TnProxyStandin&) = delete;
  TnProxyStandin& operator=(const TnProxyStandin&) = delete;

  // Serve on the addresses ("127.0.0.1:0" picks a port); the bound port, or -1.
  int StartInfo(const std::string& address = kInfoAddress);
  int StartForwarding(const std::string& address = kForwardingAddress);
  // Stops serving (ends every call); StartForwarding again on the same port plays a
  // forwarding connection that dropped and came back.
  void StopInfo();
  void StopForwarding();
  int InfoPort() const;
  int ForwardingPort() const;

  // ---- proxy information ----
  void SetTnUuid(const std::string& uuid);
  void SetProductVersion(int32_t major, int32_t minor);
  // Replaces the APH list and pushes it to every subscriber.
  void SetAphs(const std::vector<Aph>& aphs);
  // Pushes `msg` as it is (and keeps it as the current update).
  void PushRaw(const zumbra::qbx::messaging::ApplProxyInfoRspMsg& msg);
  // Ends every subscription with UNAVAILABLE; the connection stays up.
  void EndSubscriptions();
  // While refused, the health answers say the information service is not served.
  void RefuseInfoService(bool refuse);
  int SubscriptionCount() const;  // subscriptions ever opened
  int ActiveSubscribers() const;

  // ---- the APHs ----
  void SetAppInitMode(const std::string& aph, AppInitMode mode);
  // Answers every held app-init request (success or failure).
  void ReleaseHeldAppInits(bool success);
  int AppInitRequestCount(const std::string& aph) const;
  std::vector<Received> ReceivedMessages() const;
  void ClearRecords();

  // Waits until `pred` holds or `limit` passes; re-checked after every recorded change.
  bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit) const;

  class InfoService;
  class ForwardingService;
  class Subscriber;

 private:
  friend class InfoService;
  friend class ForwardingService;
  friend class Subscriber;

  zumbra::qbx::messaging::ApplProxyInfoRspMsg BuildCurrent() const;  // mutex_ held
  void Broadcast(const zumbra::qbx::messaging::ApplProxyInfoRspMsg& msg);
  void OnSubscribe(const std::shared_ptr<Subscriber>& subscriber);
  void OnSubscriberDone(const Subscriber* subscriber);
  // Handles one call for `aph`; false when the APH is unknown.
  void OnAphCall(const std::string& aph, const zumbra::qbx::messaging::GenericUnifiedMsg& request,
                 zumbra::qbx::messaging::GenericUnifiedMsg* reply, grpc::ServerUnaryReactor* reactor,
                 bool publish);
  void Changed();  // mutex_ held

  std::unique_ptr<InfoService> infoService_;
  std::unique_ptr<ForwardingService> forwardingService_;
  std::unique_ptr<grpc::Server> infoServer_;
  std::unique_ptr<grpc::Server> forwardingServer_;
  int infoPort_ = -1;
  int forwardingPort_ = -1;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  uint64_t generation_ = 0;
  std::string tnUuid_ = kDefaultTnUuid;
  int32_t major_ = 4;
  int32_t minor_ = 2;
  std::vector<Aph> aphs_;
  bool raw_ = false;
  zumbra::qbx::messaging::ApplProxyInfoRspMsg rawMsg_;
  bool infoRefused_ = false;
  std::vector<std::shared_ptr<Subscriber>> subscribers_;
  int subscriptions_ = 0;
  std::map<std::string, AppInitMode> appInitModes_;
  std::map<std::string, int> appInitCounts_;
  struct Held {
    std::string aph;
    zumbra::qbx::messaging::GenericUnifiedMsg* reply;
    grpc::ServerUnaryReactor* reactor;
  };
  std::vector<Held> held_;
  std::vector<Received> received_;
};

}  // namespace qbx::tools
