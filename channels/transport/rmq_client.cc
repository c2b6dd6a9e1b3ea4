#include "channels/transport/rmq_client.h"

#include <array>
#include <cctype>
#include <cstring>

#include "base/logger.h"

namespace qbx {

int32_t RmqClient::NETEventLoop(void* arg) { return rmqClient_NETEventLoop(arg); }

int32_t RmqClient::InitNETClient(char* name, char* appName, int value, rmqClientRxCallback rxCallback) {
  return rmqClient_InitNETClient(name, appName, value, rxCallback);
}

int32_t RmqClient::CloseClient(int32_t cookie) { return rmqClient_CloseClient(cookie); }

int32_t RmqClient::SendToZLM(rmqClientMessage* message) { return rmqClient_SendToZLM(message); }

int32_t RmqClient::InitNETClient_Custom(char* name, char* appName, int value, void* context,
                                        rmqClientRxCallback rxCallback,
                                        const netClientInitSettings_t* settings) {
  return rmqClient_InitNETClient_Custom(name, appName, value, context, rxCallback, settings);
}

int32_t RmqClient::StopNETEventLoop() { return rmqClient_StopNETEventLoop(); }

const char* RmqErrorName(int32_t code) {
  static const std::array<const char*, 28> kNames = {
      "ENOMEM",       "NO_SESSION",   "INVALID_COOKIE", "INVALID_ARGS",  "NULL_PTR",      "ERR_SEND",
      "INVALID_LEN",  "TCPNO_DELAY",  "CONNECT_FAIL",   "NON_BLOCKING",  "CLIENT_TYPE",   "SOCKET_FLAGS",
      "INVALID_BSON", "REG_INIT",     "LISTEN_EXISTS",  "CLIENT_EXISTS", "NO_CLIENT",     "STARTED",
      "UNHEALTHY",    "NO_LISTENER",  "ERR_RECEIVE",    "STARTING_LOOP", "NUM_CLIENTS",   "BAD_PAYLOAD",
      "NO_EVENTLOOP", "CREATE_CLIENT", "NO_CALLBACK",   "BAD_EPHM_PORT"};
  if (code <= -2000 && code >= -2027) return kNames[static_cast<size_t>(-2000 - code)];
  if (code == -2100) return "GENERIC";
  if (code == -2101) return "EXCEPTION";
  return "UNKNOWN";
}

bool IsLegacyAckApp(const std::string& appName) {
  static const char* const kLegacyApps[] = {
      "SwitchingVertical", "ControllerMgmtVertical", "SimpleL2Vertical", "HostNodeStatusVertical",
      "FabricStats", "AggSvc-Routing", "AggSvc-L2-Switching", "AggSvc-L2-Bridging", "DFWRuleStats",
      "AggSvc-L4L7", "AggSvc-Lb", "AggSvc-Vpn", "TransportNodeStatusVertical", "PBRStats",
      "SERVICE_FABRIC_APPLICATION", "Context-Health", "EdgeVertical", "HealthCheck",
      "INVENTORY_DISCOVERY_APPLICATION", "Traceflow", "CustomerVertical", "ZKWT", "L3UD"};
  if (appName.empty()) return false;
  for (const char* name : kLegacyApps) {
    if (appName == name) return true;
  }
  return false;
}

std::string HexDumpLine(const char* /*label*/, const uint8_t* data, size_t len) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex(48, ' ');
  std::string text(16, ' ');
  for (size_t i = 0; i < len && i < 16; ++i) {
    hex[3 * i] = kHex[data[i] >> 4];
    hex[3 * i + 1] = kHex[data[i] & 0x0f];
    text[i] = std::isprint(data[i]) ? static_cast<char>(data[i]) : '.';
  }
  return hex + " " + text;
}

void DumpPayloadHex(const char* label, const uint8_t* data, size_t len) {
  if (data == nullptr) return;
  for (size_t off = 0; off < len; off += 16) {
    const size_t n = len - off < 16 ? len - off : 16;
    const std::string line = HexDumpLine(label, data + off, n);
    const std::string hex = line.substr(0, 48);
    const std::string text = line.substr(49);
    QBX_LOG(loglevel::kTrace).subcomp("mpa-client").put("%s: %s %s\n", label, hex.c_str(), text.c_str());
  }
}

}  // namespace qbx
