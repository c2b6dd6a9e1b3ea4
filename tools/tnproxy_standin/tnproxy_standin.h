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
// - The forwarding side also serves ForwardingRegistryService: the node's processes tell it
//   where they serve which endpoint ids; the latest registration of an id wins. Processes
//   watch it for APH streams it ends alone (EndAphStream).
// - The APHs act as the management plane towards the node's applications: a pull of any
//   kind is sent from a named APH (its uuid as the caller) to an application at the address
//   registered for the application's id, through AggSvcHostService/RpcMsgHandler, and the
//   decoded answer is returned. Pulls block the calling thread (at most their time-out).
//
// Threading: every public operation may be called from any thread. mutex_ (of
// ProxyStandinBase) guards all recorded state and the subscriber list; it is never held
// while calling into gRPC. A thread of the stand-in's own answers delayed app-init requests
// when they are due.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/standin_common/proxy_standin_base.h"
#include "tools/standin_common/standin_grpc.h"
#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.pb.h"
#include "zumbra/qbx/messaging/appl_proxy_info.grpc.pb.h"
#include "zumbra/qbx/messaging/appl_proxy_info.pb.h"
#include "zumbra/qbx/messaging/unified.pb.h"

namespace qbx::tools {

class TnProxyStandin
    : public ProxyStandinBase<zumbra::qbx::messaging::ApplProxyInfoService, zumbra::qbx::messaging::ApplProxyInfoReqMsg,
                              zumbra::qbx::messaging::ApplProxyInfoRspMsg> {
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
  // kDelay answers (success) after the APH's app-init delay.
  enum class AppInitMode { kReply, kFail, kHold, kDelay };

  // The management plane's requests to an application.
  enum class PullKind { kClientData, kSummation, kOverwrite, kOnDemand, kRuntimeStatus };
  struct Pull {
    PullKind kind = PullKind::kClientData;
    // Client data and on-demand: the target type and its ids; runtime status: the full
    // protobuf name of the status message.
    std::string targetType;
    std::vector<std::string> targetIds;
    // Summation: the request's sequence number and the last one acknowledged.
    uint64_t seq = 0;
    uint64_t ack = 0;
  };
  struct PullAnswer {
    bool ok = false;  // the call succeeded and its reply decoded
    int code = 0;     // the call's gRPC status code
    std::string error;  // why it failed (status text or decoding failure)
    std::string correlationId;
    zumbra::qbx::messaging::GenericUnifiedMsg reply;
    zumbra::qbx::agg_service::messaging::AggSvcMpUnifiedMsg mp;  // the decoded reply payload
  };
  static constexpr std::chrono::milliseconds kPullTimeout{10000};

  // One request that reached an APH (app-init requests excluded).
  struct Received {
    std::string aph;
    bool publish = false;
    zumbra::qbx::messaging::GenericUnifiedMsg msg;
  };

  TnProxyStandin();
  ~TnProxyStandin() override;

  // Serve on the addresses ("127.0.0.1:0" picks a port); the bound port, or -1.
  int StartInfo(const std::string& address = kInfoAddress);
  int StartForwarding(const std::string& address = kForwardingAddress);
  // Stops serving (ends every call); StartForwarding again on the same port plays a
  // forwarding connection that dropped and came back (StopForwarding, of the base).
  void StopInfo();

  // ---- proxy information ----
  void SetTnUuid(const std::string& uuid);
  // Replaces the APH list and pushes it to every subscriber.
  void SetAphs(const std::vector<Aph>& aphs);
  // While refused, the health answers say the information service is not served.
  void RefuseInfoService(bool refuse);

  // ---- the APHs ----
  void SetAppInitMode(const std::string& aph, AppInitMode mode);
  // Answers every held app-init request (success or failure).
  void ReleaseHeldAppInits(bool success);
  int AppInitRequestCount(const std::string& aph) const;
  // The delay of kDelay answers for `aph`.
  void SetAppInitDelay(const std::string& aph, std::chrono::milliseconds delay);
  std::vector<Received> ReceivedMessages() const;
  void ClearRecords();

  // ---- endpoint registrations ----
  // The address ("tcp://H:P") registered for `id` ("qbx://" prefix optional); empty when none.
  std::string RegisteredAddress(const std::string& id) const;
  std::map<std::string, std::string> Registrations() const;
  int RegistrationCount() const;  // registrations received ever
  // Ends the stream to APH `aph` alone, as the proxy does when an APH goes away, with
  // `reason` (the transport's close-reason number) told to every process that watches its
  // destinations; the forwarding connection stays up. False when nobody watches.
  bool EndAphStream(const std::string& aph, uint32_t reason);
  // Stub creation towards APH `aph` fails for the next `times` attempts (its service checks
  // over the forwarding side are refused); a negative count: until ClearStubCreationFailures.
  void FailStubCreation(const std::string& aph, int times);
  void ClearStubCreationFailures(const std::string& aph);
  // While held, stub creations towards `aph` stay in flight; releasing lets them finish.
  void HoldStubCreation(const std::string& aph, bool hold);
  int HeldStubCreations() const;
  int StubCreationAttempts(const std::string& aph) const;  // service checks towards `aph`
  int RefusedStubCreations(const std::string& aph) const;

  // ---- the management plane's pulls ----
  static const char* PullKindName(PullKind kind);
  // "client-data", "summation", "overwrite", "on-demand", "runtime-status".
  static bool ParsePullKind(const std::string& text, PullKind& kind);
  // The request as the host service takes it.
  static zumbra::qbx::agg_service::messaging::AggSvcHostUnifiedMsg BuildPull(const std::string& app,
                                                                             const Pull& pull);
  // Sends `pull` from APH `aph` to application `app`. An unknown APH or application, or no
  // registered address, fails at once with a clear error.
  PullAnswer SendPull(const std::string& aph, const std::string& app, const Pull& pull,
                      std::chrono::milliseconds timeout = kPullTimeout);
  PullAnswer SendHostRequest(const std::string& aph, const std::string& app,
                             const zumbra::qbx::agg_service::messaging::AggSvcHostUnifiedMsg& request,
                             std::chrono::milliseconds timeout = kPullTimeout);

  class ForwardingService;
  class RegistryService;

 private:
  friend class ForwardingService;
  friend class RegistryService;

  // Records a registration; false (with the reason) when it is malformed.
  bool OnRegister(const std::string& address, const std::vector<std::string>& ids, std::string& why);
  // The channel to a registered address, made once per address.
  std::shared_ptr<grpc::Channel> HostChannel(const std::string& address);
  // Answers the delayed app-init requests when their time comes.
  void DelayLoop();

  zumbra::qbx::messaging::ApplProxyInfoRspMsg BuildCurrent() const override;
  // A subscriber gets the current update at once only when there is one to tell.
  bool SendsCurrentOnSubscribe() const override;
  void EndOpenCalls() override;
  // Handles one call for `aph`; false when the APH is unknown.
  void OnAphCall(const std::string& aph, const zumbra::qbx::messaging::GenericUnifiedMsg& request,
                 zumbra::qbx::messaging::GenericUnifiedMsg* reply, grpc::ServerUnaryReactor* reactor,
                 bool publish);

  std::unique_ptr<ForwardingService> forwardingService_;
  std::unique_ptr<RegistryService> registryService_;
  DestinationHealth forwardingHealth_;  // outlives the forwarding server

  std::string tnUuid_ = kDefaultTnUuid;
  std::vector<Aph> aphs_;
  std::map<std::string, AppInitMode> appInitModes_;
  std::map<std::string, int> appInitCounts_;
  struct Held {
    std::string aph;
    zumbra::qbx::messaging::GenericUnifiedMsg* reply;
    grpc::ServerUnaryReactor* reactor;
  };
  std::vector<Held> held_;
  std::vector<Received> received_;
  std::map<std::string, std::chrono::milliseconds> appInitDelays_;
  struct Delayed {
    Held held;
    std::chrono::steady_clock::time_point due;
  };
  std::vector<Delayed> delayed_;
  bool stopping_ = false;
  std::condition_variable delayChanged_;
  std::map<std::string, std::string> registrations_;  // id -> "tcp://H:P"
  int registrationCount_ = 0;
  std::map<std::string, std::shared_ptr<grpc::Channel>> hostChannels_;  // by gRPC target
  std::thread delayThread_;  // last: started after everything it reads
};

}  // namespace qbx::tools
