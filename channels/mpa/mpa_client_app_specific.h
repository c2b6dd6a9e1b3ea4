// The per-application RPC message layer of the messaging channel (qbx::MpaClientAppSpecific).
//
// It turns an application's channel record (rmqClientMessage) into the unified envelope
// (zumbra.qbx.messaging.GenericUnifiedMsg) that travels over RPC and sends it through its
// owner (the application's qbx::MpaClient); it keeps the open incoming calls by correlation
// id until the application answers them, and answers the ones that wait too long; it sends
// the app-init request; and it builds the notices (registration acknowledgement, close,
// delivery errors) that the application's receive callback gets from the channel itself.
//
// Message-type specific parts (which unified message, which sub-message carries a type id,
// which observers) are virtual; this base logs "Not Implemented" for them and returns null.
//
// Threading:
// - call_handle_mutex_ (shared mutex) guards call_handle_map_, call_handle_stamp_map_ and
//   released_: look-ups shared, changes exclusive. RespondMsg takes a handle out of both maps in one
//   exclusive step, so exactly one answer completes a call; the answer itself is written
//   after the lock is released.
// - seq_map_mutex_ guards seq_to_call_handle_map_. AddToSeqToCallHandleMap expects its
//   caller (the owner's RpcMsgHandler) to hold it; the other two take it themselves.
// - completion_mutex_ serialises the derived classes' reply handling.
// - Answers (writer()->Last/Error) are never written while holding call_handle_mutex_.
// Lock order: seq_map_mutex_, then call_handle_mutex_; completion_mutex_ before both.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <deque>
#include <unordered_map>
#include <unordered_set>

#include <bson/bson.h>

#include "channels/mpa/server_call_handle.h"
#include "platform/mq/rmq_client.h"
#include "platform/rpc/call.h"
#include "platform/runtime/clock.h"
#include "zumbra/qbx/common/void.pb.h"
#include "zumbra/qbx/messaging/appinit/appinit.pb.h"
#include "zumbra/qbx/messaging/unified.pb.h"

namespace google::protobuf {
class Message;
}

namespace qbx {

class MpaClient;

class MpaClientAppSpecific {
 public:
  using GenericUnifiedMsg = zumbra::qbx::messaging::GenericUnifiedMsg;
  using CallHandlePtr = ServerCallHandlePtr<GenericUnifiedMsg>;
  // Open calls older than this are answered ABORTED by PurgeStaleCallHandles.
  static constexpr std::chrono::nanoseconds kStaleCallAge = std::chrono::seconds(300);

  // `clock` times the open calls; null means the steady clock.
  MpaClientAppSpecific(std::string appName, std::shared_ptr<MpaClient> owner,
                       std::shared_ptr<const Clock> clock = nullptr);
  virtual ~MpaClientAppSpecific();
  MpaClientAppSpecific(const MpaClientAppSpecific&) = delete;
  MpaClientAppSpecific& operator=(const MpaClientAppSpecific&) = delete;

  // ---- virtual operations ----
  virtual int SendMsg(rmqClientMessage* msg, std::string& correlationId, const std::string& aphUuid);
  virtual int RespondMsg(rmqClientMessage* msg, const std::string& correlationId);
  virtual int SendRequestToSN(rmqClientMessage* msg, const std::string& snId);
  virtual int SendRequest(rmqClientMessage* msg, const std::string& aphUuid);
  virtual int RespondMsgToSN(rmqClientMessage* msg);
  virtual int RespondMsgByHeader(rmqClientMessage* msg);
  virtual google::protobuf::Message* GetHostUnifiedMsg(const std::string& typeId);
  virtual bool KeepCorrelationIdOnForward();
  virtual bool UseRoutingKeyAsAphUuid(rmqClientMessage* msg);
  virtual google::protobuf::Message* GetMpUnifiedMsg(const std::string& typeId);
  virtual google::protobuf::Message* GetRequestMsg(google::protobuf::Message* unified, const std::string& typeId);
  virtual rpc::CallObserver<GenericUnifiedMsg>* GetRpcCallObserver(rmqClientMessage* request,
                                                                   const std::string& correlationId, uint32_t seq);
  virtual rpc::CallObserver<zumbra::qbx::VoidMsg>* GetVoidCallObserver(const std::string& correlationId);
  virtual void SetAphUuidInRpcCallObserver(rpc::CallObserver<GenericUnifiedMsg>* observer, const std::string& aphUuid);
  virtual void SetAphUuidInVoidCallObserver(rpc::CallObserver<zumbra::qbx::VoidMsg>* observer,
                                            const std::string& aphUuid);
  virtual bool IsAppInitRequired();
  virtual void HandleMpResponse(const rpc::Status& status, const GenericUnifiedMsg& reply,
                                rpc::CallObserver<GenericUnifiedMsg>* observer);
  virtual void HandleSNResponse(const rpc::Status& status, const GenericUnifiedMsg& reply,
                                rpc::CallObserver<GenericUnifiedMsg>* observer);

  // ---- conversion and sending ----
  // The value of the first string element `key` of a header object; null when absent.
  std::optional<std::string> GetStringObjectFromBson(const bson_t* doc, const std::string& key);
  bool GetGenericUnifiedMsg(GenericUnifiedMsg& out, rmqClientMessage* msg, std::string& correlationId,
                            std::string& typeId, bool setControlHeader);
  bool GetGenericUnifiedMsgForSN(GenericUnifiedMsg& out, rmqClientMessage* msg, const std::string& correlationId,
                                 std::string& typeId);
  int SendRequest(rmqClientMessage* msg, bool publish, const std::string& aphUuid, std::string& correlationId,
                  bool setControlHeader);
  int SendRequestSN(rmqClientMessage* msg, bool publish, const std::string& snId, std::string& correlationId);

  // ---- open calls by correlation id ----
  bool IsCorelationIdInCallHandleMap(const std::string& id);
  // False (and nothing changes) when the id is present already.
  bool AddToCallHandleMap(const std::string& id, const CallHandlePtr& handle);
  CallHandlePtr GetFromCallHandleMap(const std::string& id);
  // Answers the open call of `id` with `status` and drops it; false when no call is open.
  // For a request the application could not take: the caller must not wait for ever.
  bool RefuseCall(const std::string& id, rpc::AppStatus status);
  void RemoveFromCallHandleMap(const std::string& id);
  // Whether the call of `id` was answered (or refused) and is not open again; only the
  // last kAnsweredIdsKept such ids are known.
  bool WasAnswered(const std::string& id);
  // Drops every open call; each is answered with `answer` (ABORTED unless the caller knows
  // better), none is left hanging.
  void PurgeCallHandleMap(rpc::AppStatus answer = rpc::AppStatus::ABORTED);
  // The owner let this layer go: every open call is answered with `answer`, and from then
  // on AddToCallHandleMap refuses every call, in the same locked step, so that a request
  // that found the layer just before the release is not stored where nobody answers it.
  void Release(rpc::AppStatus answer);
  bool IsReleased();
  // Answers ABORTED, and drops, every call open for more than kStaleCallAge.
  void PurgeStaleCallHandles();
  size_t OpenCallCount();

  // ---- app-init calls by sequence number ----
  // The caller holds seq_map_mutex_ (SeqMapMutex()).
  bool AddToSeqToCallHandleMap(uint32_t seq, const std::shared_ptr<rpc::CallHandleImpl<GenericUnifiedMsg>>& handle);
  std::optional<std::shared_ptr<rpc::CallHandleImpl<GenericUnifiedMsg>>> GetFromSeqToCallHandleMap(uint32_t seq);
  void DeleteFromSeqToCallHandleMap(uint32_t seq);
  std::mutex& SeqMapMutex() { return seq_map_mutex_; }

  // ---- observer records ----
  bool PopulateObserverRmqMsg(rmqClientMessage& out, const rmqClientMessage& request);
  // Releases what PopulateObserverRmqMsg (and a reply handler) put into a record.
  static void FreeObserverRmqMsg(rmqClientMessage* msg);

  // ---- app-init ----
  void BuildAppInitMsg(zumbra::qbx::messaging::appinit::AppInitMsg& msg);
  bool GetAppInitUnifiedMsg(GenericUnifiedMsg& out);
  bool SendAppInitRequest(uint32_t seq);
  bool FinishInitHandshake(uint32_t seq, bool success);

  // ---- notices to the application ----
  void SendMsgToVertical(rmqClientMessage* msg, bool smartNic);
  void SendRegistrationAckToVertical(bool smartNic);
  void SendCloseToVertical(bool smartNic);
  void SendErrorToVertical(bool failed, const std::string& correlationId, bool smartNic);

  const std::string& appName() const { return appName_; }
  std::shared_ptr<MpaClient> owner() const { return owner_.lock(); }

 protected:
  std::mutex completion_mutex_;
  const std::string appName_;

 private:
  void SendNoticeToVertical(uint32_t type, bool smartNic);
  // Takes every open call out (marking the layer released when `release`), then answers
  // each with `answer` after the lock.
  void PurgeOpenCalls(rpc::AppStatus answer, bool release);
  bool ReadTypeId(rmqClientMessage* msg, std::string& typeId);

  // Ids of the last answered calls (bounded), so that further replies to a call that was
  // already answered (a pull that produced several messages) are reported, not lost silently.
  static constexpr size_t kAnsweredIdsKept = 1024;
  void RememberAnswered(const std::string& id);  // caller holds call_handle_mutex_ exclusively
  std::deque<std::string> answered_order_;
  std::unordered_set<std::string> answered_ids_;

  std::unordered_map<std::string, CallHandlePtr> call_handle_map_;
  std::unordered_map<std::string, Clock::time_point> call_handle_stamp_map_;
  std::shared_mutex call_handle_mutex_;
  bool released_ = false;  // under call_handle_mutex_
  std::unordered_map<uint32_t, std::shared_ptr<rpc::CallHandleImpl<GenericUnifiedMsg>>> seq_to_call_handle_map_;
  std::mutex seq_map_mutex_;
  // The owner keeps this layer alive; a weak reference back avoids the ownership cycle.
  std::weak_ptr<MpaClient> owner_;
  std::shared_ptr<const Clock> clock_;
};

}  // namespace qbx
