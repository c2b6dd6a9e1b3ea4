// The daemon's inbound sockets (the host aggregation service, the smart-NIC services and the
// IP-reputation service) and how it keeps them listening.
//
// Start-up waits (qbx::ListenRetry::WaitUntilListening) until ProbeInboundSockets passes. The
// sockets themselves are bound later: the host service's when the verticals register, the
// IP-reputation service's once the database client has started. From then on a socket that
// cannot listen (its directory made a link, the run directory out of room...) or whose
// listening socket fails is tried again on the daemon's schedule (ListenRetry::kSchedule),
// and serves once repaired; after the schedule's 5 minutes the daemon gives up (the record
// says why) and ends non-zero, leaving the restart to its supervisor. A daemon that is
// alive is listening.
#pragma once

#include <string>

#include "platform/rpc/local_socket_acceptor.h"
#include "platform/runtime/listen_retry.h"

namespace qbx {

class AsioQbxProvider;

// What the daemon ends with when an inbound service cannot listen, the status of a failed
// start-up too (255 to the supervisor).
constexpr int kCannotListenExitStatus = -1;

// The probe of the daemon's inbound sockets in `directory` (readied as their servers will
// ready them): ready when both can listen, otherwise what the first that cannot found.
rpc::SocketPreparation ProbeInboundSockets(const std::string& directory);

// From now on every server of the process retries a socket that cannot listen on
// ListenRetry::kSchedule on `provider`'s timers (which must run for the life of the process),
// and when one gives up the process ends through qbx::ExitProcess(kCannotListenExitStatus).
void KeepInboundServicesListening(AsioQbxProvider& provider);
// The daemon's form: the same on a provider of its own, in real time.
void KeepInboundServicesListening();

}  // namespace qbx
