#include "platform/mq/rmq_client.h"

#include <bson/bson.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace qbx::mq {
namespace {

struct Connection {
  std::string appName;
  rmqClientRxCallback callback = nullptr;
};

struct Pending {
  rmqClientRxCallback callback = nullptr;
  rmqClientMessage* record = nullptr;
};

// The channel's tables. Guarded by `mu`; callbacks run after it is released.
struct Channel {
  std::mutex mu;
  std::condition_variable wake;
  std::map<int32_t, Connection> connections;
  std::deque<Pending> pending;
  std::vector<SentRecord> sent;
  int32_t nextCookie = 1;
  int32_t failNextConnect = 0;
  int32_t sendResult = 0;
  bool autoAck = true;
  uint32_t ackMajor = 9;
  uint32_t ackMinor = 0;
  bool loopRunning = false;
  bool stopLoop = false;
  int connectCalls = 0;
};

Channel& Chan() {
  static Channel* channel = new Channel();  // never destroyed: callbacks may run at exit
  return *channel;
}

// Builds one record whose strings, headers and payload share its single heap buffer.
rmqClientMessage* MakeRecord(uint32_t type, int32_t cookie, const std::string& app, uint32_t major,
                             uint32_t minor, const std::string& payload,
                             const std::vector<uint8_t>& headers) {
  const size_t size = sizeof(rmqClientMessage) + app.size() + 1 + headers.size() + payload.size();
  auto* base = static_cast<uint8_t*>(std::calloc(1, size));
  if (base == nullptr) return nullptr;
  auto* rec = reinterpret_cast<rmqClientMessage*>(base);
  uint8_t* cursor = base + sizeof(rmqClientMessage);
  rec->messageType = type;
  rec->cookieId = cookie;
  rec->mpMajorVersion = major;
  rec->mpMinorVersion = minor;
  rec->appType = reinterpret_cast<char*>(cursor);
  std::memcpy(cursor, app.data(), app.size());
  cursor += app.size() + 1;
  if (!headers.empty()) {
    rec->headers = cursor;
    rec->headersLen = static_cast<uint32_t>(headers.size());
    std::memcpy(cursor, headers.data(), headers.size());
    cursor += headers.size();
  }
  rec->payloadLen = static_cast<int64_t>(payload.size());
  if (!payload.empty()) {
    rec->payload = cursor;
    std::memcpy(cursor, payload.data(), payload.size());
  }
  rec->buffer = base;
  return rec;
}

void Enqueue(Channel& ch, rmqClientRxCallback cb, rmqClientMessage* rec) {
  if (rec == nullptr || cb == nullptr) {
    if (rec != nullptr) std::free(rec->buffer);
    return;
  }
  ch.pending.push_back(Pending{cb, rec});
  ch.wake.notify_one();
}

std::string Str(const char* s) { return s == nullptr ? std::string() : std::string(s); }

}  // namespace

void rmqStub_ResetForTest() {
  Channel& ch = Chan();
  std::lock_guard<std::mutex> lock(ch.mu);
  for (auto& p : ch.pending) std::free(p.record->buffer);
  ch.pending.clear();
  ch.connections.clear();
  ch.sent.clear();
  ch.failNextConnect = 0;
  ch.sendResult = 0;
  ch.autoAck = true;
  ch.ackMajor = 9;
  ch.ackMinor = 0;
  ch.connectCalls = 0;
}

void rmqStub_FailNextConnectForTest(int32_t code) {
  std::lock_guard<std::mutex> lock(Chan().mu);
  Chan().failNextConnect = code;
}

void rmqStub_SetSendResultForTest(int32_t code) {
  std::lock_guard<std::mutex> lock(Chan().mu);
  Chan().sendResult = code;
}

void rmqStub_SetAutoAckForTest(bool on, uint32_t major, uint32_t minor) {
  std::lock_guard<std::mutex> lock(Chan().mu);
  Chan().autoAck = on;
  Chan().ackMajor = major;
  Chan().ackMinor = minor;
}

bool rmqStub_InjectForTest(int32_t cookie, uint32_t messageType, const std::string& payload,
                           const std::vector<uint8_t>& rawHeaders) {
  Channel& ch = Chan();
  std::lock_guard<std::mutex> lock(ch.mu);
  auto it = ch.connections.find(cookie);
  if (it == ch.connections.end()) return false;
  Enqueue(ch, it->second.callback,
          MakeRecord(messageType, cookie, it->second.appName, 0, 0, payload, rawHeaders));
  return true;
}

bool rmqStub_CloseFromChannelForTest(int32_t cookie) {
  Channel& ch = Chan();
  std::lock_guard<std::mutex> lock(ch.mu);
  auto it = ch.connections.find(cookie);
  if (it == ch.connections.end()) return false;
  Connection conn = it->second;
  ch.connections.erase(it);
  Enqueue(ch, conn.callback, MakeRecord(RMQ_CLIENT_CLOSE, cookie, conn.appName, 0, 0, {}, {}));
  return true;
}

size_t rmqStub_DeliverPendingForTest() {
  Channel& ch = Chan();
  size_t delivered = 0;
  for (;;) {
    Pending next;
    {
      std::lock_guard<std::mutex> lock(ch.mu);
      if (ch.pending.empty()) return delivered;
      next = ch.pending.front();
      ch.pending.pop_front();
    }
    next.callback(next.record);  // the receiver frees the record's buffer
    ++delivered;
  }
}

std::vector<SentRecord> rmqStub_SentForTest() {
  std::lock_guard<std::mutex> lock(Chan().mu);
  return Chan().sent;
}

std::vector<int32_t> rmqStub_OpenCookiesForTest() {
  std::lock_guard<std::mutex> lock(Chan().mu);
  std::vector<int32_t> cookies;
  for (const auto& [cookie, conn] : Chan().connections) cookies.push_back(cookie);
  return cookies;
}

int rmqStub_ConnectCallsForTest() {
  std::lock_guard<std::mutex> lock(Chan().mu);
  return Chan().connectCalls;
}

}  // namespace qbx::mq

using qbx::mq::Chan;
using qbx::mq::Channel;

extern "C" {

int32_t rmqClient_InitNETClient(char* name, char* appName, int value, rmqClientRxCallback rxCallback) {
  return rmqClient_InitNETClient_Custom(name, appName, value, nullptr, rxCallback, nullptr);
}

int32_t rmqClient_InitNETClient_Custom(char* /*name*/, char* appName, int /*value*/, void* /*context*/,
                                       rmqClientRxCallback rxCallback,
                                       const netClientInitSettings_t* /*settings*/) {
  Channel& ch = Chan();
  std::lock_guard<std::mutex> lock(ch.mu);
  ++ch.connectCalls;
  if (ch.failNextConnect != 0) {
    const int32_t code = ch.failNextConnect;
    ch.failNextConnect = 0;
    return code;
  }
  if (appName == nullptr) return RMQ_ERR_NULL_PTR;
  if (rxCallback == nullptr) return RMQ_ERR_NO_CALLBACK;
  const int32_t cookie = ch.nextCookie++;
  if (ch.nextCookie <= 0) ch.nextCookie = 1;
  ch.connections[cookie] = qbx::mq::Connection{appName, rxCallback};
  if (ch.autoAck) {
    qbx::mq::Enqueue(ch, rxCallback,
                     qbx::mq::MakeRecord(RMQ_CLIENT_REGISTRATION_ACK, cookie, appName, ch.ackMajor,
                                         ch.ackMinor, {}, {}));
  }
  return cookie;
}

int32_t rmqClient_CloseClient(int32_t cookie) {
  Channel& ch = Chan();
  std::lock_guard<std::mutex> lock(ch.mu);
  return ch.connections.erase(cookie) == 1 ? 0 : RMQ_ERR_INVALID_COOKIE;
}

int32_t rmqClient_SendToZLM(rmqClientMessage* message) {
  if (message == nullptr) return RMQ_ERR_NULL_PTR;
  if (message->payloadLen < 0 || (message->payloadLen > 0 && message->payload == nullptr)) {
    return RMQ_ERR_INVALID_LEN;
  }
  qbx::mq::SentRecord rec;
  rec.messageType = message->messageType;
  rec.cookieId = message->cookieId;
  rec.appType = qbx::mq::Str(message->appType);
  rec.routingKey = qbx::mq::Str(message->routingKey);
  rec.contentType = qbx::mq::Str(message->contentType);
  if (message->payloadLen > 0) {
    rec.payload.assign(reinterpret_cast<const char*>(message->payload),
                       static_cast<size_t>(message->payloadLen));
  }
  if (message->headers != nullptr) {
    const auto* doc = static_cast<const bson_t*>(message->headers);
    const uint8_t* data = bson_get_data(doc);
    rec.headers.assign(data, data + doc->len);
  }
  Channel& ch = Chan();
  std::lock_guard<std::mutex> lock(ch.mu);
  if (ch.sendResult != 0) return ch.sendResult;
  if (ch.connections.find(message->cookieId) == ch.connections.end()) return RMQ_ERR_INVALID_COOKIE;
  ch.sent.push_back(std::move(rec));
  return 0;
}

int32_t rmqClient_NETEventLoop(void* /*arg*/) {
  Channel& ch = Chan();
  {
    std::lock_guard<std::mutex> lock(ch.mu);
    if (ch.loopRunning) return RMQ_ERR_STARTED;
    ch.loopRunning = true;
    ch.stopLoop = false;
  }
  for (;;) {
    qbx::mq::Pending next;
    {
      std::unique_lock<std::mutex> lock(ch.mu);
      ch.wake.wait(lock, [&] { return ch.stopLoop || !ch.pending.empty(); });
      if (ch.stopLoop) {
        ch.loopRunning = false;
        return 0;
      }
      next = ch.pending.front();
      ch.pending.pop_front();
    }
    next.callback(next.record);
  }
}

int32_t rmqClient_StopNETEventLoop(void) {
  Channel& ch = Chan();
  std::lock_guard<std::mutex> lock(ch.mu);
  if (!ch.loopRunning) return RMQ_ERR_NO_EVENTLOOP;
  ch.stopLoop = true;
  ch.wake.notify_all();
  return 0;
}

}  // extern "C"
