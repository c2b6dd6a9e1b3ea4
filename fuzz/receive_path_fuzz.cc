// Fuzzes the receive road of the messaging channel: one channel record (type, cookie,
// raw BSON header block, payload) into the queue-based client, whose dequeue step hands it
// to AggServiceClient::ProcessReceivedMessage of a vertical with one pull handler.
//
// Input layout: byte 0 selects the record type, byte 1 bit 0 asks for a registration
// acknowledgement first, bytes 2-3 (little-endian) give the header block's length; the
// header bytes follow, then the payload. The header length the channel vouches for is the
// number of header bytes actually present.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "aggsvc/agg_service_client.h"
#include "aggsvc/vertical.h"
#include "aggsvc/vertical_adapter.h"
#include "base/logger.h"
#include "channels/mpa/mpa_client.h"
#include "channels/queue/agg_svc_mpa_client.h"
#include "zumbra/qbx/agg_service/agg_service_status.pb.h"

namespace {

constexpr const char* kApp = "FabricStats";

class FuzzVertical : public Vertical {
 public:
  FuzzVertical() : Vertical(kApp, false) {}
  const char* GetName() override { return Name().c_str(); }
  void RegisterCallbacks(std::shared_ptr<AggServiceClient>) override {}
};

struct Harness {
  std::shared_ptr<AggServiceClient> agg;
  std::shared_ptr<AggSvcMpaClient> client;

  Harness() {
    qbx::Logger::SetSinkForTest([](int, const std::string&) {});
    qbx::Logger::logLevel = qbx::loglevel::kTrace;  // exercise the dumps too
    // A close notice makes the dequeue step wait before reconnecting; not here.
    AggSvcMpaClient::SetCloseReconnectDelayForTest(std::chrono::milliseconds(0));
    agg = std::make_shared<AggServiceClient>(std::make_shared<FuzzVertical>(), nullptr, nullptr);
    agg->RegisterPullHandler<zumbra::qbx::agg_service::SoftwareStatusMsg>(
        [](const std::vector<std::shared_ptr<PullTarget>>&,
           std::vector<std::shared_ptr<zumbra::qbx::agg_service::SoftwareStatusMsg>>& out) {
          out.push_back(std::make_shared<zumbra::qbx::agg_service::SoftwareStatusMsg>());
        });
    // No dequeue thread: the fuzzer drains the queue itself, so every input is handled
    // before the next one.
    client = AggSvcMpaClient::CreateAggSvcMpaClient(kApp, nullptr, nullptr);
    client->SetAggServiceClient(agg);
  }
};

Harness& TheHarness() {
  static Harness* harness = new Harness();
  return *harness;
}

constexpr uint32_t kTypes[] = {2, 3, 4, 5, 8, 9, 11, 13, 0, 77};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Harness& h = TheHarness();
  if (size < 4) return 0;
  const uint32_t type = kTypes[data[0] % (sizeof(kTypes) / sizeof(kTypes[0]))];
  const bool ackFirst = (data[1] & 1) != 0;
  size_t headerLen = static_cast<size_t>(data[2]) | (static_cast<size_t>(data[3]) << 8);
  const uint8_t* rest = data + 4;
  size_t restLen = size - 4;
  if (headerLen > restLen) headerLen = restLen;
  // Copies, so that the sanitizers see reads past the vouched-for lengths.
  std::vector<uint8_t> header(rest, rest + headerLen);
  std::vector<uint8_t> payload(rest + headerLen, rest + restLen);

  auto mpa = qbx::MpaClient::GetClient(kApp);
  if (mpa) mpa->SetRegistrationAcked(false);
  if (ackFirst) {
    rmqClientMessage ack{};
    ack.messageType = 2;
    ack.appType = const_cast<char*>(kApp);
    ack.cookieId = -1;
    h.client->AggSvcMpaClientRxCallback(&ack, false);
  }
  rmqClientMessage rec{};
  rec.messageType = type;
  rec.appType = const_cast<char*>(kApp);
  rec.cookieId = -1;
  if (!header.empty()) {
    rec.headers = header.data();
    rec.headersLen = static_cast<uint32_t>(header.size());
  }
  rec.payload = payload.empty() ? nullptr : payload.data();
  rec.payloadLen = static_cast<int64_t>(payload.size());
  h.client->AggSvcMpaClientRxCallback(&rec, false);
  h.client->DrainRxQueueForTest();
  return 0;
}
