// The messaging side of one vertical, as its aggregation-service client uses it.
//
// MpaMessageSender is what the queue-based messaging client of a vertical offers: it sends
// the client's answers and hands the client every request it receives. MpaVerticalRegistrar
// makes such a sender for a vertical (the messaging client's RegisterVertical and
// RegisterVerticalSimple). Both are implemented with the messaging channel; tests use doubles.
//
// Threading: SendMsgToMpaWrapper runs on the client's dispatcher thread; SetAggServiceClient,
// Open and Close, and the registrar, run on the manager's thread.
#pragma once

#include <memory>
#include <string>

class AggServiceClient;

namespace qbx {
class AsioQbxProvider;
}

class MpaMessageSender {
 public:
  virtual ~MpaMessageSender() = default;

  // Sends one answer on the channel; true when the channel took it.
  virtual bool SendMsgToMpaWrapper(const std::string& payload, const std::string& typeId,
                                   const std::string& correlationId, const std::string& replyTo) = 0;

  // What became of one answer given to SendAnswer.
  enum class SendResult { kSent, kFailed, kAlreadyAnswered };
  // Sends one answer as SendMsgToMpaWrapper does, except that an answer to a request that
  // has had its one reply already is neither sent nor logged: kAlreadyAnswered, so that the
  // caller can report all the answers it dropped for that request at once (a pull may give
  // hundreds of thousands). A sender that cannot tell never reports kAlreadyAnswered.
  virtual SendResult SendAnswer(const std::string& payload, const std::string& typeId,
                                const std::string& correlationId, const std::string& replyTo) {
    return SendMsgToMpaWrapper(payload, typeId, correlationId, replyTo) ? SendResult::kSent : SendResult::kFailed;
  }
  // The client to which the receive thread hands every request (through
  // AggServiceClient::ProcessReceivedMessage, with the client's request lock held).
  virtual void SetAggServiceClient(const std::weak_ptr<AggServiceClient>& client) = 0;
  // Starts receiving for the vertical.
  virtual bool Open() = 0;
  // Stops the sender; nothing is received or sent afterwards.
  virtual void Close() = 0;
};

// The two event-loop providers that the manager hands to every client's set-up, passed on
// unchanged to the registration.
using ChannelContext = std::shared_ptr<qbx::AsioQbxProvider>;

class MpaVerticalRegistrar {
 public:
  virtual ~MpaVerticalRegistrar() = default;

  // Empty when the vertical is registered already or its receive thread does not start.
  virtual std::shared_ptr<MpaMessageSender> RegisterVertical(const std::string& verticalName,
                                                             const ChannelContext& hostProvider,
                                                             const ChannelContext& snProvider) = 0;
  // The one-context form; the messaging client makes no sender for it.
  virtual std::shared_ptr<MpaMessageSender> RegisterVerticalSimple(const std::string& verticalName,
                                                                   const ChannelContext& hostProvider) = 0;
};
