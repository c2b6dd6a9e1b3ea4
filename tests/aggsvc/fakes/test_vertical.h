// A vertical whose RegisterCallbacks runs what the test gives it, and a client of one wired
// to recording doubles (not set up until Setup is called).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "aggsvc/agg_service_client.h"
#include "tests/aggsvc/fakes/fake_mpa_message_sender.h"
#include "tests/aggsvc/fakes/fake_sha_client_wrapper.h"
#include "tests/aggsvc/fakes/fake_status_source.h"
#include "zumbra/qbx/agg_service/messaging/client_data.pb.h"

namespace qbx::test {

class TestVertical : public Vertical {
 public:
  explicit TestVertical(const std::string& name, bool skipFirstValue = true) : Vertical(name, skipFirstValue) {}
  const char* GetName() override { return Name().c_str(); }
  void RegisterCallbacks(std::shared_ptr<AggServiceClient> client) override {
    if (registrar) registrar(client);
  }
  std::function<void(const std::shared_ptr<AggServiceClient>&)> registrar;
};

struct ClientHarness {
  explicit ClientHarness(std::shared_ptr<Vertical> v = std::make_shared<TestVertical>("TestVertical"),
                         bool withSender = true)
      : vertical(std::move(v)),
        registrar(std::make_shared<FakeMpaVerticalRegistrar>(withSender ? sender : nullptr)) {
    AggServiceClient::Deps deps{registrar, [] { return 0; }};
    client = std::make_shared<AggServiceClient>(vertical, statusSource, sha, deps);
  }
  int Setup() { return client->SetupAggServiceClient(nullptr, nullptr); }
  // Sends a client-data request for one target type.
  int Pull(const std::string& targetType, const std::vector<std::string>& ids, const std::string& corr = "corr-1");

  std::shared_ptr<Vertical> vertical;
  std::shared_ptr<FakeStatusSource> statusSource = std::make_shared<FakeStatusSource>();
  std::shared_ptr<FakeShaClientWrapper> sha = std::make_shared<FakeShaClientWrapper>();
  std::shared_ptr<FakeMpaMessageSender> sender = std::make_shared<FakeMpaMessageSender>();
  std::shared_ptr<FakeMpaVerticalRegistrar> registrar;
  std::shared_ptr<AggServiceClient> client;
};

inline int ClientHarness::Pull(const std::string& targetType, const std::vector<std::string>& ids,
                               const std::string& corr) {
  zumbra::qbx::agg_service::messaging::ClientDataRequestMsg request;
  auto* target = request.add_target_data_request();
  target->set_target_type(targetType);
  for (const auto& id : ids) target->add_target_id(id);
  const std::string payload = request.SerializeAsString();
  return client->ProcessReceivedMessage(payload.data(), static_cast<int32_t>(payload.size()),
                                        MsgMetadata(AggServiceClient::kClientDataRequestTypeId, corr, "reply-q"));
}

}  // namespace qbx::test
