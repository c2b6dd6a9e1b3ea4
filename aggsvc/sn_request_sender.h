// The road from the host's aggregation framework to its smart NICs, as the remote collector
// uses it: send one request to one smart NIC. The answers come back on the vertical's
// smart-NIC registration and reach AggServiceClient::HandleSnReply, never through this
// interface. The vertical's messaging client implements it beside MpaMessageSender; tests
// use doubles.
//
// Threading: SendMsgToSN is called on the thread that fans a request out, with no lock of
// the collector held, so an implementation may deliver a reply on any thread, the calling
// one included. It must not wait for the reply.
#pragma once

#include <cstdint>
#include <string>

// One request as it goes to every smart NIC: the bytes the host received (or the adapter
// built) with the request's type id and correlation id. Sent as message type 8 with the
// headers "__TypeId__" and "amqp_correlationId" and content type "application/protobuf".
struct SnRequest {
  static constexpr uint32_t kMessageType = 8;
  static constexpr const char* kContentType = "application/protobuf";

  std::string appName;
  std::string typeId;
  std::string correlationId;
  std::string body;
};

class SnRequestSender {
 public:
  virtual ~SnRequestSender() = default;
  // 0 when the channel took the request for smart NIC `snUuid`; anything else when it did
  // not (that smart NIC is then not waited for).
  virtual int SendMsgToSN(const SnRequest& request, const std::string& snUuid) = 0;
};
