// Helpers of the smart-NIC road tests: the stand-in smart-NIC proxy on free ports, the
// process-wide smart-NIC proxy client pointed at it, the node persona, a wait clock that
// runs ten times faster than the steady clock, and a management-plane client that records
// what a vertical answers instead of sending it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "aggsvc/remote_collector.h"
#include "channels/mpa/agg_svc_host_service.h"
#include "channels/mpa/mpa_client.h"
#include "channels/proxy/sn_proxy_client_common.h"
#include "channels/transport/bson_headers.h"
#include "platform/smartnic/sn_util.h"
#include "tests/channels/proxy/tnproxy_test_util.h"
#include "tools/snproxy_standin/snproxy_standin.h"

namespace qbx::test {

inline constexpr char kSnA[] = "5e000000-0000-4000-8000-00000000000a";
inline constexpr char kSnB[] = "5e000000-0000-4000-8000-00000000000b";
inline constexpr char kHost[] = "40000000-0000-4000-8000-000000000001";
inline constexpr char kSmartNic[] = "5e000000-0000-4000-8000-0000000000cc";
// Nothing listens there: the transport-node proxy client made by the channel's start stays
// idle in these tests.
inline constexpr char kNowhere[] = "tcp://127.0.0.1:1";

// The collector's wait measured on a clock ten times faster than the steady clock: the
// 5-second wait takes half a second.
class FastWaitClock : public RemoteCollector::WaitClock {
 public:
  static constexpr int kFactor = 10;
  time_point Now() const override {
    const auto real = std::chrono::steady_clock::now() - start_;
    return time_point() + std::chrono::hours(1) + std::chrono::duration_cast<duration>(real * kFactor);
  }
  void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, time_point deadline) override {
    const auto left = deadline - Now();
    cv.wait_for(lock, std::chrono::duration_cast<std::chrono::nanoseconds>(left) / kFactor);
  }

 private:
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// One answer a vertical sent towards the management plane.
struct MpAnswer {
  uint32_t messageType = 0;
  std::string typeId;
  std::string correlationId;
  std::string payload;
};

// The management-plane client of a vertical, recording its sends.
class RecordingMpClient : public MpaClient {
 public:
  explicit RecordingMpClient(const CreateArgs& args) : MpaClient(args) {}
  int32_t SendMsgViaTnProxy(rmqClientMessage* message, const std::string& /*correlationId*/,
                            const std::string& /*aphUuid*/) override {
    MpAnswer answer;
    answer.messageType = message->messageType;
    const auto* doc = static_cast<const bson_t*>(message->headers);
    answer.typeId = BsonHeaders::FindString(doc, "__TypeId__").value_or("");
    answer.correlationId = BsonHeaders::FindString(doc, "amqp_correlationId").value_or("");
    if (message->payload != nullptr && message->payloadLen > 0) {
      answer.payload.assign(reinterpret_cast<const char*>(message->payload), static_cast<size_t>(message->payloadLen));
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      answers_.push_back(answer);
    }
    cond_.notify_all();
    return 0;
  }
  // Waits for the n-th answer (0-based); false when it does not come.
  bool WaitForAnswer(size_t n, MpAnswer& out, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cond_.wait_for(lock, limit, [&] { return answers_.size() > n; })) return false;
    out = answers_[n];
    return true;
  }
  size_t AnswerCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return answers_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<MpAnswer> answers_;
};

// The stand-in proxy, the node's topology and persona, and the process-wide smart-NIC proxy
// client pointed at the stand-in. Torn down in the reverse order.
class SnRoadEnvironment {
 public:
  SnRoadEnvironment(int persona, const std::vector<std::string>& peers, const std::string& localUuid) {
    SNUtil::Topology topology;
    topology.persona = persona;
    topology.hostUuid = kHost;
    if (persona == SNUtil::kPersonaSnHost) topology.smartNics = {{"ip-a", kSnA}, {"ip-b", kSnB}};
    SNUtil::SetTopology(topology);
    infoPort = standin.StartInfo("127.0.0.1:0");
    forwardingPort = standin.StartForwarding("127.0.0.1:0");
    EXPECT_GT(infoPort, 0);
    EXPECT_GT(forwardingPort, 0);
    standin.SetLocalUuid(localUuid);
    standin.SetHostUuid(kHost);
    standin.SetPeers(peers);
    SNProxyClientCommon::ResetInstanceForTest();
    SNProxyClientCommon::Options options;
    options.forwardingEndPoint = "tcp://127.0.0.1:" + std::to_string(forwardingPort);
    SNProxyClientCommon::Init("AggSvc", "tcp://127.0.0.1:" + std::to_string(infoPort), options);
    snProxy = SNProxyClientCommon::getInstance();
    MpaClient::SetNodePersonaSource([persona] { return static_cast<uint32_t>(persona); });
    MpaClient::StartMpaClientEventLoop("AggSvc", kNowhere, kNowhere);
  }
  ~SnRoadEnvironment() {
    MpaClient::ResetRegistryForTest();
    MpaClient::SetAggAppClientFactory(nullptr);
    MpaClient::SetSNClientFactory(nullptr);
    MpaClient::SetNodePersonaSource(nullptr);
    if (snProxy) snProxy->Stop();
    SNProxyClientCommon::ResetInstanceForTest();
    AggSvcHostService::ResetForTest();
    AggSvcMpService::ResetForTest();
    standin.StopForwarding();
    standin.StopInfo();
    snProxy.reset();  // last: its providers are joined here, on the test's thread
    SNUtil::SetTopology(SNUtil::Topology());
  }

  tools::SnProxyStandin standin;
  int infoPort = -1;
  int forwardingPort = -1;
  std::shared_ptr<SNProxyClientCommon> snProxy;
};

}  // namespace qbx::test
