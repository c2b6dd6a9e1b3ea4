// The queue-based messaging client of one vertical (AggSvcMpaClient): the link between the
// vertical's aggregation-service client and its messaging-channel client (qbx::MpaClient).
//
// It registers the vertical with the channel (by node persona: host, smart-NIC host or
// smart NIC), copies every message the channel delivers onto a bounded receive queue
// (1024 messages; a full queue refuses at once), and hands them, on a dequeue thread of
// its own, to AggServiceClient::ProcessReceivedMessage with the message's type id,
// correlation id and reply-to address. It follows the registration acknowledgement and
// close notices, which decide whether the vertical may send, and sends the framework's
// answers with a BSON header block.
//
// Threading:
// - The channel's receiving thread runs the receive wrappers and AggSvcMpaClientRxCallback:
//   the look-up in AppToAggSvcMpaClientMap (under the map mutex), the copy and the enqueue.
//   On a host with smart NICs, the smart NICs' replies on the smart-NIC registration go at
//   once to AggServiceClient::HandleSnReply on that thread, after the map mutex has been
//   released. On a smart NIC the smart-NIC registration carries the host's requests: they
//   are queued and answered on the dequeue thread like any request.
// - The dequeue thread runs ProcessRxCallbackMsg and the close handling, and calls
//   ProcessReceivedMessage with the aggregation client's request lock held (outside mode 2).
//   An exception from a request is logged and the loop goes on; the thread always signals
//   its end, so StopRxThread never waits for its time-out when the thread has finished.
// - The aggregation client's dispatcher thread runs SendAnswer, SendMsgToMpaWrapper and
//   SendMsg; the manager's thread runs registration, Open and Close.
// - Lock order: the channel's registry lock (qbx::MpaClient), then the map mutex, then the
//   receive queue's mutex. The map mutex is never held while calling into the channel's
//   registry (removal erases the map entry, releases the mutex, then unregisters), so the
//   registry and the map cannot be taken in opposite orders.
// - _rxMutex guards _rxThreadState and _stopping; _startCond, _termCond and _stopCond wait on it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "aggsvc/mpa_message_sender.h"
#include "aggsvc/sn_request_sender.h"
#include "channels/queue/cp_queue.h"
#include "channels/transport/bson_headers.h"
#include "platform/mq/rmq_client.h"

namespace qbx {
class MpaClient;
}

// Releases a record copied or built by this client (strings, payload, header object).
void FreeMpaMsg(rmqClientMessage* msg);

class AggSvcMpaClient : public MpaMessageSender,
                        public SnRequestSender,
                        public std::enable_shared_from_this<AggSvcMpaClient> {
 public:
  using MsgPtr = std::shared_ptr<rmqClientMessage>;
  static constexpr uint32_t kRxQueueCapacity = 1024;
  // Payloads above this are refused on receipt.
  static constexpr int64_t kMaxPayloadLen = 64 * 1024 * 1024;
  static constexpr uint32_t kModeSnHost = 1;
  static constexpr uint32_t kModeSn = 2;
  static constexpr uint32_t kModeHost = 3;

  // Use CreateAggSvcMpaClient / RegisterVertical; public for make_shared.
  AggSvcMpaClient(std::string appName, std::shared_ptr<qbx::MpaClient> mpaClient,
                  std::shared_ptr<qbx::MpaClient> snMpaClient, uint32_t clientMode);
  ~AggSvcMpaClient() override;

  static std::shared_ptr<AggSvcMpaClient> RegisterVertical(const std::string& appName,
                                                           const ChannelContext& hostProvider,
                                                           const ChannelContext& snProvider);
  static std::shared_ptr<AggSvcMpaClient> RegisterVerticalSimple(const std::string& appName,
                                                                 const ChannelContext& hostProvider);
  static std::shared_ptr<AggSvcMpaClient> CreateAggSvcMpaClient(const std::string& appName,
                                                                const ChannelContext& hostProvider,
                                                                const ChannelContext& snProvider);
  static void AggSvcMpaClientRxCallbackWrapper(rmqClientMessage* msg);
  static void AggSvcSNMpaClientRxCallbackWrapper(rmqClientMessage* msg);
  static std::shared_ptr<AggSvcMpaClient> Find(const std::string& appName);

  // How long the dequeue thread waits after a close notice before reconnecting (1 s);
  // tests shorten it.
  static void SetCloseReconnectDelayForTest(std::chrono::milliseconds delay);

  // MpaMessageSender
  // Skips, silently, an answer whose request has had its reply (see MpaMessageSender).
  SendResult SendAnswer(const std::string& payload, const std::string& typeId, const std::string& correlationId,
                        const std::string& replyTo) override;
  bool SendMsgToMpaWrapper(const std::string& payload, const std::string& typeId,
                           const std::string& correlationId, const std::string& replyTo) override;
  void SetAggServiceClient(const std::weak_ptr<AggServiceClient>& client) override;
  bool Open() override;
  void Close() override;

  // SnRequestSender (host with smart NICs): one request to one smart NIC through the
  // smart-NIC registration; only starts the call, never waits for the reply.
  int SendMsgToSN(const SnRequest& request, const std::string& snUuid) override;

  bool SendMsg(const uint8_t* bytes, int32_t length, const std::string& typeId, const std::string& correlationId,
               const std::string& replyTo);
  int32_t SendToMpa(rmqClientMessage* msg);
  bool SendToQBXWrapper(rmqClientMessage* msg);

  bool StartRxThread();
  bool WaitForStartCompletion(int seconds);
  bool SignalStartCompletion();
  bool SignalRxThreadTermination();
  bool StopRxThread(int seconds);
  bool IsRxThreadTerminated();
  // Waits, without asking it to stop, until the dequeue thread has ended (tests).
  bool WaitForRxThreadEndForTest(int seconds);
  // Handles every queued message on the calling thread, as the dequeue thread would, for a
  // client whose thread was never started (fuzzing); returns how many were handled.
  size_t DrainRxQueueForTest();
  void RemoveAggSvcMpaClient();
  void AggSvcMpaClientRxCallback(rmqClientMessage* msg, bool fromSmartNic);
  void DequeueRxCallbackMsg();
  bool ProcessRxCallbackMsg(const MsgPtr& msg);
  bool ProcessRxCallbackMsgSN(const MsgPtr& msg);
  void HandleCloseMsg(int32_t cookieId);
  void HandleCloseMsgSN(int32_t cookieId);

  // Reads the header block: a raw buffer of `rawLen` bytes (headersAreObject false) or an
  // initialised object. Copies string and int64 elements into `out` when given. A call
  // element named twice is read by its first element. False when the block is malformed
  // (nothing then reaches `out` past the fault).
  static bool GetAmqpHeaders(const rmqClientMessage* msg, bson_t* out, std::string& typeId,
                             std::string& correlationId, std::string& replyTo, bool headersAreObject);
  static void helper(const rmqClientMessage* msg, std::string& typeId, std::string& correlationId,
                     std::string& replyTo);
  void DumpMpaMsg(const rmqClientMessage* msg);
  static void HexDump(const char* label, const uint8_t* bytes, size_t length);

  const std::string& appName() const { return _appName; }
  uint32_t clientMode() const { return _clientMode; }
  size_t RxQueueSize() const { return _msgFromMpaQ->size(); }
  uint32_t RxThreadState();

 private:
  // One pass of the dequeue loop; false when the loop is to end.
  bool HandleDequeued(const MsgPtr& msg);
  bool ProcessRxCallbackMsgOn(const MsgPtr& msg, const std::shared_ptr<qbx::MpaClient>& client, bool sn);
  void HandleCloseMsgOn(const std::shared_ptr<qbx::MpaClient>& client, int32_t cookieId, const char* func);
  MsgPtr CopyMessage(const rmqClientMessage* msg, bson_t* headers);

  std::weak_ptr<AggServiceClient> _aggServiceClient;
  std::string _appName;
  std::shared_ptr<qbx::MpaClient> _mpaClient;
  std::shared_ptr<qbx::MpaClient> _snMpaClient;
  uint32_t _clientMode;
  std::thread _rxThread;
  std::mutex _rxMutex;
  std::condition_variable _startCond;
  std::condition_variable _termCond;
  std::condition_variable _stopCond;
  std::atomic<bool> _rxThreadRunning{false};
  uint32_t _rxThreadState = 0;
  bool _stopping = false;
  std::shared_ptr<qbx::CPQueue<MsgPtr>> _msgFromMpaQ;
  std::mutex _clientsMutex;  // guards _aggServiceClient, _mpaClient, _snMpaClient
};

// The registration that AggServiceClient's set-up uses (installed as its default registrar).
class AggSvcMpaClientRegistrar : public MpaVerticalRegistrar {
 public:
  std::shared_ptr<MpaMessageSender> RegisterVertical(const std::string& verticalName,
                                                     const ChannelContext& hostProvider,
                                                     const ChannelContext& snProvider) override;
  std::shared_ptr<MpaMessageSender> RegisterVerticalSimple(const std::string& verticalName,
                                                           const ChannelContext& hostProvider) override;
};
