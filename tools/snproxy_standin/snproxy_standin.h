// A stand-in of the node's smart-NIC proxy, with stand-in smart NICs and a stand-in host
// behind it.
//
// - The proxy-information side serves SNProxyInfoService: every subscriber gets the current
//   update at once and every later one (this node's uuid, the peer list, the product
//   version). Controls push a new list or a raw (possibly malformed) update.
// - The forwarding side serves the forwarding registry (ForwardingRegistryService: a
//   process tells where it serves which ids) and routes AggSvcHostService and
//   AggSvcMpService calls by their "qbx-destination" metadata: to a registered id's address
//   (the call is passed on and its answer passed back), to a stand-in smart NIC, or to the
//   stand-in host. Calls for an unknown destination end NOT_FOUND.
// - A stand-in smart NIC answers the host's requests with its configured counters and
//   status, at once, late (after a configured delay), not at all (held until released or
//   the side stops), or with a failure status.
// - Failure controls of the forwarding side: the health check by which a process makes its
//   stub for one peer ("qbx://<peer>") can be answered as not serving (the stub creation
//   fails) or held until released, per peer; and the stream to one peer can be ended with
//   a chosen close reason while the connection stays up (told to every process that
//   watches its destinations).
// - The stand-in host sends requests to a registered AggSvcHostService (a daemon on a smart
//   NIC) through the forwarding side and records what the daemon publishes to it.
//
// Threading: every public operation may be called from any thread. mutex_ (of
// ProxyStandinBase) guards all recorded state; it is never held while calling into gRPC.
// Late answers are sent by one worker thread of this object.
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
#include "zumbra/qbx/agg_service/messaging/agg_svc_channel.pb.h"
#include "zumbra/qbx/messaging/sn_proxy_info.grpc.pb.h"
#include "zumbra/qbx/messaging/sn_proxy_info.pb.h"
#include "zumbra/qbx/messaging/unified.pb.h"

namespace qbx::tools {

class SnProxyStandin
    : public ProxyStandinBase<zumbra::qbx::messaging::SNProxyInfoService, zumbra::qbx::messaging::SNProxyInfoReqMsg,
                              zumbra::qbx::messaging::SNProxyInfoRspMsg> {
 public:
  static constexpr const char* kInfoAddress = "127.0.0.1:5001";
  static constexpr const char* kForwardingAddress = "127.0.0.1:4999";
  static constexpr const char* kDefaultLocalUuid = "0b6e4c1a-2d3f-4a5b-8c7d-9e0f1a2b3c4d";
  static constexpr const char* kDefaultHostUuid = "7a1b2c3d-4e5f-4061-8273-94a5b6c7d8e9";
  static constexpr size_t kMaxRecorded = 4096;
  static constexpr size_t kMaxPending = 4096;

  enum class NicMode { kAnswer, kLate, kSilent, kFail };
  // How the forwarding side answers the health check of a stub for one peer.
  enum class StubCheck { kServe, kFail, kHold };

  // How a stand-in smart NIC answers. Statistics requests get one target of `targetType`
  // and `targetId` with `counters`; runtime-status requests get `statusEntries` as the
  // status of the asked type (none: status not obtained).
  struct NicBehaviour {
    NicMode mode = NicMode::kAnswer;
    std::chrono::milliseconds lateBy{6000};
    int failCode = 14;  // a gRPC status code (UNAVAILABLE)
    std::string targetType = "rule";
    std::string targetId = "t1";
    std::vector<std::pair<std::string, double>> counters;
    std::vector<std::string> statusEntries;
  };

  // One request that reached a stand-in smart NIC.
  struct NicRequest {
    std::string nic;
    std::string caller;
    zumbra::qbx::agg_service::messaging::AggSvcHostUnifiedMsg msg;
  };

  // One message that a daemon sent up to the stand-in host.
  struct HostReceived {
    std::string caller;
    bool publish = false;
    zumbra::qbx::messaging::GenericUnifiedMsg msg;
  };

  // The answer to a request of the stand-in host.
  struct HostReply {
    int code = -1;  // gRPC status code
    std::string message;
    zumbra::qbx::messaging::GenericUnifiedMsg envelope;
    zumbra::qbx::agg_service::messaging::AggSvcMpUnifiedMsg unified;
    bool parsed = false;
  };

  SnProxyStandin();
  ~SnProxyStandin() override;

  // Serve on the addresses ("127.0.0.1:0" picks a port); the bound port, or -1.
  int StartInfo(const std::string& address = kInfoAddress);
  int StartForwarding(const std::string& address = kForwardingAddress);
  // Stops serving; held and late answers are ended first (StopForwarding, of the base).
  void StopInfo();

  // ---- proxy information ----
  void SetLocalUuid(const std::string& uuid);
  // Replaces the peer list and pushes it to every subscriber.
  void SetPeers(const std::vector<std::string>& peers);

  // ---- stand-in smart NICs ----
  void ConfigureNic(const std::string& uuid, const NicBehaviour& behaviour);
  // Answers every held request now (as configured counters and status).
  void ReleaseHeld();
  std::vector<NicRequest> NicRequests() const;
  int NicRequestCount(const std::string& uuid) const;
  bool IsNic(const std::string& uuid) const;

  // ---- failure controls of the forwarding side ----
  void SetStubCheck(const std::string& peer, StubCheck check);
  // Answers every held check as serving, or as not serving (the stub is refused).
  void ReleaseHeldStubChecks(bool serving = true);
  // Health checks asked for stubs of `peer` so far.
  int StubChecks(const std::string& peer) const;
  int HeldStubChecks() const;
  // Ends the stream to `peer` with `reason` (the transport's close-reason number); false
  // when no process watches its destinations.
  bool EndPeerStream(const std::string& peer, uint32_t reason);

  // ---- forwarding registry ----
  std::map<std::string, std::string> RegisteredIds() const;  // id -> "tcp://H:P"

  // ---- stand-in host ----
  void SetHostUuid(const std::string& uuid);
  // Sends one request (AggSvcHostService.RpcMsgHandler) to the daemon that registered
  // `appName`, through the forwarding side, and waits at most `limit` for the answer.
  HostReply HostRequest(const std::string& appName, const std::string& typeId, const std::string& body,
                        const std::string& correlationId, std::chrono::milliseconds limit);
  std::vector<HostReceived> HostReceivedMessages() const;

  void ClearRecords();

  class ForwardingRegistry;
  class StubCheckService;
  class StubCheckReactor;
  class HostSide;
  class MpSide;

 private:
  friend class ForwardingRegistry;
  friend class StubCheckService;
  friend class StubCheckReactor;
  friend class HostSide;
  friend class MpSide;

  struct Delayed {
    std::chrono::steady_clock::time_point due;
    std::function<void()> run;
  };

  zumbra::qbx::messaging::SNProxyInfoRspMsg BuildCurrent() const override;
  void EndOpenCalls() override;
  void OnRegister(const std::string& address, const std::vector<std::string>& ids);
  // A stub's health check for `service` of destination `dest`; false to hold it (answered
  // later through the reactor), else `serving` and `known` (false: no such service).
  bool OnStubCheck(const std::string& dest, const std::string& service, StubCheckReactor* reactor, bool& serving,
                   bool& known);
  void AnswerHeldStubChecks(bool forShutdown, bool serving = true);
  std::string AddressOf(const std::string& id) const;
  // A host request for a stand-in smart NIC; false when `nic` is not one.
  bool OnNicCall(const std::string& nic, const std::string& caller,
                 const zumbra::qbx::messaging::GenericUnifiedMsg& request,
                 zumbra::qbx::messaging::GenericUnifiedMsg* reply, grpc::ServerUnaryReactor* reactor);
  // Something a daemon sent to the stand-in host; false when `dest` is not the host.
  bool OnHostCall(const std::string& dest, const std::string& caller,
                  const zumbra::qbx::messaging::GenericUnifiedMsg& request, bool publish);
  static zumbra::qbx::messaging::GenericUnifiedMsg BuildNicAnswer(
      const NicBehaviour& behaviour, const zumbra::qbx::agg_service::messaging::AggSvcHostUnifiedMsg& request);
  void Schedule(std::chrono::steady_clock::time_point due, std::function<void()> run);
  void RunDelayer();
  void FlushPending();

  std::unique_ptr<ForwardingRegistry> registry_;
  std::unique_ptr<HostSide> hostSide_;
  std::unique_ptr<MpSide> mpSide_;
  std::vector<std::unique_ptr<StubCheckService>> stubCheckServices_;  // under mutex_

  std::string localUuid_ = kDefaultLocalUuid;
  std::string hostUuid_ = kDefaultHostUuid;
  std::vector<std::string> peers_;
  std::map<std::string, NicBehaviour> nics_;
  std::map<std::string, std::string> registered_;
  std::vector<NicRequest> nicRequests_;
  std::vector<HostReceived> hostReceived_;
  std::map<std::string, StubCheck> stubChecks_;
  std::map<std::string, int> stubCheckCounts_;
  std::vector<StubCheckReactor*> heldChecks_;  // each finished exactly once, then deleted by gRPC
  struct Held {
    NicBehaviour behaviour;
    zumbra::qbx::agg_service::messaging::AggSvcHostUnifiedMsg request;
    zumbra::qbx::messaging::GenericUnifiedMsg* reply;
    grpc::ServerUnaryReactor* reactor;
  };
  std::vector<Held> held_;

  // The late-answer worker.
  std::mutex delayMutex_;
  std::condition_variable delayCond_;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> pending_;
  bool stopping_ = false;
  std::thread delayer_;
};

}  // namespace qbx::tools
