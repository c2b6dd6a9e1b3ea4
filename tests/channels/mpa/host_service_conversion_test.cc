// The conversion of incoming envelopes into channel records, by both served services: the
// legacy type names of the host service, the record types and cookies of a request and a
// publish, the carried message of the management-plane service, and the answers of
// requests that cannot be delivered.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "channels/mpa/agg_svc_host_service.h"
#include "channels/transport/bson_headers.h"
#include "tests/channels/fakes/mpa_fakes.h"

namespace qbx {
namespace {

using Handle = testing::RecordingCallHandle<zumbra::qbx::messaging::GenericUnifiedMsg>;
using zumbra::qbx::agg_service::messaging::AggSvcHostUnifiedMsg;
using zumbra::qbx::agg_service::messaging::AggSvcMpUnifiedMsg;
using zumbra::qbx::messaging::GenericUnifiedMsg;

constexpr const char* kAph = "6a1f4c2e-0b7d-4e59-9d3a-2f8e1c7b5a90";

// One converted record with what it points into.
struct Converted {
  bool ok = false;
  rmqClientMessage rec{};
  bson_t* doc = nullptr;
  std::string app;
  std::string payload;
  ~Converted() { BsonHeaders::Destroy(doc); }
  std::string Header(const char* key) const {
    return BsonHeaders::FindString(doc, key).value_or("<none>");
  }
};

std::unique_ptr<Converted> Convert(MpaClientServiceBase& service, const GenericUnifiedMsg& envelope, bool publish) {
  auto c = std::make_unique<Converted>();
  c->ok = service.BuildRmqClientMessage(envelope, kAph, c->doc, publish ? "" : "corr-1", c->rec, c->app, publish,
                                        c->payload);
  return c;
}

GenericUnifiedMsg HostEnvelope(const std::string& app, const std::string& objType) {
  AggSvcHostUnifiedMsg host;
  host.set_app_name(app);
  host.set_obj_type(objType);
  host.mutable_client_data_request();
  GenericUnifiedMsg envelope;
  envelope.set_payload(host.SerializeAsString());
  return envelope;
}

class ConversionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AggSvcHostService::ResetForTest();
    AggSvcMpService::ResetForTest();
    AggSvcHostService::CreateInstance();
    AggSvcMpService::CreateInstance();
  }
  void TearDown() override {
    AggSvcHostService::ResetForTest();
    AggSvcMpService::ResetForTest();
  }
  testing::LogCapture log_;
};

TEST_F(ConversionTest, LegacyTypeNamesOnlyForTheNamedApplications) {
  auto host = AggSvcHostService::GetInstance();
  ASSERT_NE(host, nullptr);
  for (const char* app : {"INVENTORY_DISCOVERY_APPLICATION", "FileMonitor", "SERVICE_FABRIC_APPLICATION"}) {
    SCOPED_TRACE(app);
    auto c = Convert(*host, HostEnvelope(app, "com.example.inv.IdaMessage"), false);
    ASSERT_TRUE(c->ok);
    EXPECT_EQ(c->Header("__TypeId__"), "com.example.inv.IdaMsg");
    // Only the last component is renamed, and only that one name.
    auto other = Convert(*host, HostEnvelope(app, "com.example.IdaMessage.Other"), false);
    EXPECT_EQ(other->Header("__TypeId__"), "com.example.IdaMessage.Other");
    auto bare = Convert(*host, HostEnvelope(app, "IdaMessage"), false);
    EXPECT_EQ(bare->Header("__TypeId__"), "IdaMsg");
    // A type ending in "." is logged as malformed and goes as it is.
    auto malformed = Convert(*host, HostEnvelope(app, "com.example."), false);
    ASSERT_TRUE(malformed->ok);
    EXPECT_EQ(malformed->Header("__TypeId__"), "com.example.");
  }
  EXPECT_EQ(log_.Count("Malformed obj_type (com.example.)"), 3u);
  // Any other application keeps the new name.
  auto c = Convert(*host, HostEnvelope("DFWRuleStats", "com.example.inv.IdaMessage"), false);
  EXPECT_EQ(c->Header("__TypeId__"), "com.example.inv.IdaMessage");
  EXPECT_EQ(host->ConvertObjTypeToOldName(""), "");
}

TEST_F(ConversionTest, RecordTypesAndCookiesOfRequestsAndPublishes) {
  auto host = AggSvcHostService::GetInstance();
  auto rpc = Convert(*host, HostEnvelope("DFWRuleStats", "t.Req"), false);
  ASSERT_TRUE(rpc->ok);
  EXPECT_EQ(rpc->rec.messageType, 8u);
  EXPECT_EQ(rpc->rec.cookieId, -1);
  EXPECT_EQ(rpc->Header("amqp_correlationId"), "corr-1");
  EXPECT_EQ(rpc->Header("amqp_replyTo"), kAph);
  auto pub = Convert(*host, HostEnvelope("DFWRuleStats", "t.Req"), true);
  ASSERT_TRUE(pub->ok);
  EXPECT_EQ(pub->rec.messageType, 13u);
  EXPECT_EQ(pub->Header("amqp_correlationId"), "<none>");
  EXPECT_EQ(pub->Header("amqp_replyTo"), "<none>");

  // The management-plane service (served on a host with smart NICs): 10 and 12, cookie 0,
  // the first message field that is set is the carried one.
  auto mp = AggSvcMpService::GetInstance();
  ASSERT_NE(mp, nullptr);
  AggSvcMpUnifiedMsg unified;
  unified.set_app_name("DFWRuleStats");
  unified.set_obj_type("t.Status");
  unified.mutable_tunnels_msg()->set_target_id("second");
  unified.mutable_software_status_msg()->set_target_id("third");
  unified.mutable_messaging_overwrite_stats_response_msg();
  GenericUnifiedMsg envelope;
  envelope.set_payload(unified.SerializeAsString());
  auto mpRpc = Convert(*mp, envelope, false);
  ASSERT_TRUE(mpRpc->ok);
  EXPECT_EQ(mpRpc->rec.messageType, 10u);
  EXPECT_EQ(mpRpc->rec.cookieId, 0);
  EXPECT_EQ(mpRpc->app, "DFWRuleStats");
  EXPECT_EQ(mpRpc->payload, unified.messaging_overwrite_stats_response_msg().SerializeAsString());
  unified.clear_messaging_overwrite_stats_response_msg();
  envelope.set_payload(unified.SerializeAsString());
  auto mpPub = Convert(*mp, envelope, true);
  ASSERT_TRUE(mpPub->ok);
  EXPECT_EQ(mpPub->rec.messageType, 12u);
  EXPECT_EQ(mpPub->payload, unified.tunnels_msg().SerializeAsString());
  // Nothing carried: no record.
  unified.clear_tunnels_msg();
  unified.clear_software_status_msg();
  envelope.set_payload(unified.SerializeAsString());
  EXPECT_FALSE(Convert(*mp, envelope, false)->ok);
}

TEST_F(ConversionTest, RequestsThatCannotBeDeliveredAreAnsweredAtOnceByBothServices) {
  for (MpaClientServiceBase* service :
       {static_cast<MpaClientServiceBase*>(AggSvcHostService::GetInstance().get()),
        static_cast<MpaClientServiceBase*>(AggSvcMpService::GetInstance().get())}) {
    SCOPED_TRACE(service->instanceName());
    AggSvcMpUnifiedMsg mp;
    mp.set_app_name("NoSuchVertical");
    mp.mutable_tunnels_msg();
    GenericUnifiedMsg unknownApp = HostEnvelope("NoSuchVertical", "t.Req");
    if (service == static_cast<MpaClientServiceBase*>(AggSvcMpService::GetInstance().get())) {
      unknownApp.set_payload(mp.SerializeAsString());
    }
    GenericUnifiedMsg garbage;
    garbage.set_payload(std::string("\xff\xff\xff", 3));
    for (const auto* request : {&unknownApp, &garbage}) {
      boost::intrusive_ptr<Handle> call(new Handle);
      service->MsgHandler(kAph, *request, "corr-x", call, false);
      EXPECT_EQ(call->errors, 1);
      EXPECT_EQ(call->lastError, rpc::AppStatus::APPLICATION_ERROR);
      EXPECT_EQ(call->lasts, 0);
    }
  }
}

}  // namespace
}  // namespace qbx
