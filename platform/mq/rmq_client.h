// The message-queue client C API that the legacy transport of the messaging channel
// calls, as a small in-process stand-in: there is no broker on this node, so the
// "channel" is a table of client connections kept in this process.
//
// A connection is opened with rmqClient_InitNETClient and named by the cookie it returns
// (positive). The channel answers every new connection with a registration
// acknowledgement (type 2) carrying the management-plane version, and tells a client
// that its connection went away with a close notice (type 5) carrying the cookie.
// Messages queued for delivery reach the client's receive callback on the thread that
// runs rmqClient_NETEventLoop; each delivered record and everything it points to is one
// heap buffer (the record's last field), which the receiver releases with free().
//
// The rmqStub_* calls are test seams: they inject inbound messages, close connections
// from the channel's side, capture sent records and make the next calls fail.
//
// Threading: every call is safe from any thread. The stand-in holds its own mutex only
// while it touches its tables; it never calls a receive callback while holding it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {

// Message types of the channel.
enum {
  RMQ_CLIENT_REGISTRATION_ACK = 2,
  RMQ_ZLM_PAYLOAD = 4,
  RMQ_CLIENT_CLOSE = 5,
  RMQ_CLIENT_RPC_RESPONSE = 11,
};

// Result codes (negative); 0 is success.
enum {
  RMQ_ERR_ENOMEM = -2000,
  RMQ_ERR_NO_SESSION = -2001,
  RMQ_ERR_INVALID_COOKIE = -2002,
  RMQ_ERR_INVALID_ARGS = -2003,
  RMQ_ERR_NULL_PTR = -2004,
  RMQ_ERR_SEND = -2005,
  RMQ_ERR_INVALID_LEN = -2006,
  RMQ_ERR_CONNECT_FAIL = -2008,
  RMQ_ERR_INVALID_BSON = -2012,
  RMQ_ERR_NO_CLIENT = -2016,
  RMQ_ERR_STARTED = -2017,
  RMQ_ERR_NO_EVENTLOOP = -2024,
  RMQ_ERR_NO_CALLBACK = -2026,
};

// The channel's message record. `headers` is a BSON document: as delivered by the
// channel, a raw BSON buffer of `headersLen` bytes; in records an application builds
// for sending, or copies, an initialised bson_t object (headersLen unused).
// `headersLen` is this stand-in's addition: a raw buffer from outside is never read
// past the length the channel vouches for.
typedef struct rmqClientMessage {
  uint32_t messageType;
  char* appType;
  char* appId;
  int32_t cookieId;
  uint32_t mpMajorVersion;
  uint32_t mpMinorVersion;
  void* headers;
  char* routingKey;
  char* contentType;
  int64_t payloadLen;
  uint8_t* payload;
  void* buffer;  // the record's heap buffer; freed by the receiver after delivery
  uint32_t headersLen;
} rmqClientMessage;

typedef void (*rmqClientRxCallback)(rmqClientMessage*);

typedef struct netClientInitSettings_t {
  int32_t connectTimeoutMs;
  int32_t ephemeralPort;
} netClientInitSettings_t;

// Opens a connection for `appName`; returns its cookie (> 0) or a negative code.
int32_t rmqClient_InitNETClient(char* name, char* appName, int value, rmqClientRxCallback rxCallback);
int32_t rmqClient_InitNETClient_Custom(char* name, char* appName, int value, void* context,
                                       rmqClientRxCallback rxCallback,
                                       const netClientInitSettings_t* settings);
// Closes the connection of `cookie`; no close notice is sent for a connection the
// client closes itself.
int32_t rmqClient_CloseClient(int32_t cookie);
// Sends one record on the connection named by its cookieId; 0 when taken.
int32_t rmqClient_SendToZLM(rmqClientMessage* message);
// Runs the delivery loop on the calling thread until rmqClient_StopNETEventLoop.
int32_t rmqClient_NETEventLoop(void* arg);
int32_t rmqClient_StopNETEventLoop(void);

}  // extern "C"

// Test seams of the stand-in (C++ only).
namespace qbx::mq {

// One record as the channel took it from a sender.
struct SentRecord {
  uint32_t messageType = 0;
  int32_t cookieId = 0;
  std::string appType;
  std::string routingKey;
  std::string contentType;
  std::string payload;
  std::vector<uint8_t> headers;  // the raw BSON bytes of the header object, if any
};

// Forgets every connection and captured record, stops nothing that runs.
void rmqStub_ResetForTest();
// Makes the next InitNETClient return `code` (negative) instead of connecting.
void rmqStub_FailNextConnectForTest(int32_t code);
// Makes every SendToZLM return `code` while it is non-zero.
void rmqStub_SetSendResultForTest(int32_t code);
// Whether the channel sends the registration acknowledgement on connect (default on),
// and the management-plane version it carries.
void rmqStub_SetAutoAckForTest(bool on, uint32_t major, uint32_t minor);
// Queues one record for the connection of `cookie`, copied into a single heap buffer.
// `rawHeaders` is the raw BSON buffer to deliver. False when the cookie is unknown.
bool rmqStub_InjectForTest(int32_t cookie, uint32_t messageType, const std::string& payload,
                           const std::vector<uint8_t>& rawHeaders);
// Closes the connection of `cookie` from the channel's side and queues its close notice.
bool rmqStub_CloseFromChannelForTest(int32_t cookie);
// Delivers every queued record on the calling thread (instead of an event loop); returns
// how many were delivered.
size_t rmqStub_DeliverPendingForTest();
std::vector<SentRecord> rmqStub_SentForTest();
// Cookies of open connections, in opening order.
std::vector<int32_t> rmqStub_OpenCookiesForTest();
int rmqStub_ConnectCallsForTest();

}  // namespace qbx::mq
