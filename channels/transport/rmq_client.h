// The legacy message-queue transport of the messaging channel: the reference-counted
// wrapper over the rmqClient_* C library, the names of its result codes, the table of
// applications that expect a registration acknowledgement, and the payload dump.
//
// Threading: the wrapper has no state beyond its atomic reference count; its calls add
// no locking of their own (the library is safe from any thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/mq/rmq_client.h"
#include "platform/runtime/ref_counted.h"

namespace qbx {

class RmqClientInterface : public RefCounted<RmqClientInterface, IRefCountable> {
 public:
  virtual int32_t NETEventLoop(void* arg) = 0;
  virtual int32_t InitNETClient(char* name, char* appName, int value, rmqClientRxCallback rxCallback) = 0;
  virtual int32_t CloseClient(int32_t cookie) = 0;
  virtual int32_t SendToZLM(rmqClientMessage* message) = 0;
  virtual int32_t InitNETClient_Custom(char* name, char* appName, int value, void* context,
                                       rmqClientRxCallback rxCallback,
                                       const netClientInitSettings_t* settings) = 0;
  virtual int32_t StopNETEventLoop() = 0;
};

// Forwards each operation to the library function of the same name.
class RmqClient : public RmqClientInterface {
 public:
  int32_t NETEventLoop(void* arg) override;
  int32_t InitNETClient(char* name, char* appName, int value, rmqClientRxCallback rxCallback) override;
  int32_t CloseClient(int32_t cookie) override;
  int32_t SendToZLM(rmqClientMessage* message) override;
  int32_t InitNETClient_Custom(char* name, char* appName, int value, void* context,
                               rmqClientRxCallback rxCallback,
                               const netClientInitSettings_t* settings) override;
  int32_t StopNETEventLoop() override;
};

// The library's name of a result code ("UNKNOWN" outside its table).
const char* RmqErrorName(int32_t code);
// True for the applications that must see a registration acknowledgement after connecting.
bool IsLegacyAckApp(const std::string& appName);
// Logs `len` bytes at TRACE, 16 a line: "<label>: <hex column> <text column>".
void DumpPayloadHex(const char* label, const uint8_t* data, size_t len);
// Formats one dump line of up to 16 bytes (the hex column is 48 characters, the text
// column 16); shared by the payload dumps of the channel.
std::string HexDumpLine(const char* label, const uint8_t* data, size_t len);

}  // namespace qbx
