// How the message layer routes what an application sends on a host with smart NICs: type 12
// is a publish towards an APH but a call towards a smart NIC, type 13 the reverse; and the
// registration acknowledgement of a smart-NIC registration reports the management plane's
// version 9.0 when the smart-NIC client knows versions that are both 0.
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "channels/mpa/agg_svc_host_service.h"
#include "channels/mpa/mpa_client.h"
#include "channels/mpa/mpa_client_agg_service.h"
#include "channels/mpa/mpa_client_mp_agg_service.h"
#include "channels/transport/bson_headers.h"
#include "platform/mq/rmq_client.h"
#include "tests/aggsvc/fakes/log_capture.h"

namespace qbx {
namespace {

using Unified = zumbra::qbx::messaging::GenericUnifiedMsg;

constexpr char kApp[] = "AggSvc-L2-Switching";
constexpr char kSn[] = "5e000000-0000-4000-8000-00000000000c";
constexpr char kAph[] = "a0000000-0000-4000-8000-0000000000c1";
constexpr char kSummationTypeId[] = "com.zumbra.qbx.management.agg.messaging.SummationStatsResponseMsg";
constexpr char kRuntimeRequestTypeId[] = "zumbra.qbx.agg_service.messaging.GenericRuntimeStatusRequestMsg";

// The owner as far as the layer uses it: which way each message left, and the smart-NIC
// client's versions.
class RoutingOwner : public MpaClient {
 public:
  using MpaClient::MpaClient;
  bool GetMpVersionSNMpaClient(uint32_t& major, uint32_t& minor) override {
    major = snMajor;
    minor = snMinor;
    return snKnown;
  }
  int32_t MsgHandler(const Unified&, const std::string& target, rpc::CallObserver<zumbra::qbx::VoidMsg>* observer) override {
    delete observer;
    Record("publish:" + target);
    return 0;
  }
  int32_t RpcMsgHandler(const Unified&, const std::string& target, rpc::CallObserver<Unified>* observer,
                        uint32_t) override {
    delete observer;
    Record("call:" + target);
    return 0;
  }
  std::vector<std::string> Sent() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }

  bool snKnown = false;
  uint32_t snMajor = 0;
  uint32_t snMinor = 0;

 private:
  void Record(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back(what);
  }
  std::mutex mutex_;
  std::vector<std::string> sent_;
};

std::mutex gMutex;
std::vector<std::pair<uint32_t, uint32_t>> gAckVersions;
std::vector<uint32_t> gOtherTypes;

void CaptureAck(rmqClientMessage* msg) {
  std::lock_guard<std::mutex> lock(gMutex);
  if (msg->messageType != 2) {
    gOtherTypes.push_back(msg->messageType);
    return;
  }
  gAckVersions.emplace_back(msg->mpMajorVersion, msg->mpMinorVersion);
}

class SnLayerRoutingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(gMutex);
      gAckVersions.clear();
      gOtherTypes.clear();
    }
    MpaClient::SetNodePersonaSource([] { return 1u; });
    MpaClient::StartMpaClientEventLoop("AggSvc", "tcp://127.0.0.1:1", "tcp://127.0.0.1:1");
    MpaClient::SetSNClientFactory([](const MpaClient::CreateArgs& args) { return std::make_shared<RoutingOwner>(args); });
    MpaClient::RegisterSNHost(nullptr, &CaptureAck, kApp, "qbx", 1, 9002);
    owner_ = std::dynamic_pointer_cast<RoutingOwner>(MpaClient::GetSNHostClient(kApp));
    ASSERT_TRUE(owner_);
    headers_ = BsonHeaders::New();
    std::memset(&record_, 0, sizeof(record_));
    record_.headers = headers_;
  }
  void TearDown() override {
    BsonHeaders::Destroy(headers_);
    owner_.reset();
    MpaClient::ResetRegistryForTest();
    MpaClient::SetSNClientFactory(nullptr);
    MpaClient::SetNodePersonaSource(nullptr);
    AggSvcMpService::ResetForTest();
  }

  std::vector<std::pair<uint32_t, uint32_t>> Acks() {
    std::lock_guard<std::mutex> lock(gMutex);
    return gAckVersions;
  }

  test::LogCapture logs_;
  std::shared_ptr<RoutingOwner> owner_;
  bson_t* headers_ = nullptr;
  rmqClientMessage record_;
};

TEST_F(SnLayerRoutingTest, TypesTwelveAndThirteenGoOppositeWaysTowardsAphsAndSmartNics) {
  // Towards an APH, through the host-side layer.
  auto host = std::make_shared<MpaClientAggService>(kApp, owner_);
  BsonHeaders::AppendString(headers_, "__TypeId__", kSummationTypeId);
  record_.messageType = 12;
  EXPECT_EQ(host->SendRequest(&record_, std::string(kAph)), 0);
  record_.messageType = 13;
  EXPECT_EQ(host->SendRequest(&record_, std::string(kAph)), 0);
  record_.messageType = 4;
  EXPECT_EQ(host->SendRequest(&record_, std::string(kAph)), 0);
  EXPECT_EQ(owner_->Sent(), (std::vector<std::string>{std::string("publish:") + kAph, std::string("call:") + kAph,
                                                     std::string("publish:") + kAph}));

  // Towards a smart NIC, through the smart-NIC-host layer.
  auto sn = std::make_shared<MpaClientMpAggService>(kApp, owner_);
  BsonHeaders::Destroy(headers_);
  headers_ = BsonHeaders::New();
  BsonHeaders::AppendString(headers_, "__TypeId__", kRuntimeRequestTypeId);
  record_.headers = headers_;
  record_.messageType = 12;
  EXPECT_EQ(sn->SendRequestToSN(&record_, kSn), 0);
  record_.messageType = 13;
  EXPECT_EQ(sn->SendRequestToSN(&record_, kSn), 0);
  record_.messageType = 4;
  EXPECT_EQ(sn->SendRequestToSN(&record_, kSn), 0);
  const auto sent = owner_->Sent();
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(sent[3], std::string("call:") + kSn);
  EXPECT_EQ(sent[4], std::string("publish:") + kSn);
  EXPECT_EQ(sent[5], std::string("publish:") + kSn);
}

TEST_F(SnLayerRoutingTest, TheSmartNicAcknowledgementDefaultsToVersionNineZero) {
  auto sn = std::make_shared<MpaClientMpAggService>(kApp, owner_);
  // Versions known but both 0: 9.0.
  owner_->snKnown = true;
  sn->SendRegistrationAckToVertical(true);
  // Real versions go as they are.
  owner_->snMajor = 4;
  owner_->snMinor = 2;
  sn->SendRegistrationAckToVertical(true);
  // No versions at all: 0.0.
  owner_->snKnown = false;
  sn->SendRegistrationAckToVertical(true);
  EXPECT_EQ(Acks(), (std::vector<std::pair<uint32_t, uint32_t>>{{9, 0}, {4, 2}, {0, 0}}));
  EXPECT_EQ(logs_.Count("for SN mp_major_version and mp_minor_version not yet received. Setting default"), 1u);
}

TEST_F(SnLayerRoutingTest, TheServedSmartNicServiceDeliversToTheSmartNicRegistration) {
  // On a host with smart NICs a smart NIC's message reaches the application's smart-NIC
  // registration, not its regular one: the service hands every record over as smart-NIC.
  AggSvcMpService::ResetForTest();
  AggSvcMpService::CreateInstance();
  auto layer = std::make_shared<MpaClientMpAggService>(kApp, owner_);
  AggSvcMpService::Register(layer, kApp);
  zumbra::qbx::agg_service::messaging::AggSvcMpUnifiedMsg unified;
  unified.set_app_name(kApp);
  unified.set_obj_type("t.Status");
  unified.mutable_tunnels_msg()->set_target_id("from-sn");
  Unified envelope;
  envelope.set_payload(unified.SerializeAsString());
  auto service = AggSvcMpService::GetInstance();
  static_cast<MpaClientServiceBase&>(*service).MsgHandler(kSn, envelope, "", MpaClientServiceBase::RpcCallPtr(), true);
  std::lock_guard<std::mutex> lock(gMutex);
  EXPECT_EQ(gOtherTypes, (std::vector<uint32_t>{12}));
}

}  // namespace
}  // namespace qbx
