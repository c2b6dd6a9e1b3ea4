// The IP-reputation data server: serves IpReputationDataService over the RPC layer,
// answering lookups from the node's IP-reputation table. No reputation feed reaches this
// node, so the table is empty and every address is answered with reputation 0.
//
// RunIpReputationDataServer blocks its caller (a thread of its own in the daemon) while it
// serves: with run time 0 until StopIpReputationDataServer, otherwise for the given time
// or until stopped, whichever comes first.
//
// Threading: the service's handler runs on the RPC library's threads and keeps no state.
// StopIpReputationDataServer may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The largest lookup request taken; a larger one is refused before it is read whole.
constexpr int kIpReputationMaxRequestBytes = 4 * 1024 * 1024;

// `unused` is not read. Serves on a Unix-domain socket in the process's local socket
// directory (qbx::rpc::ServerBuilder::LocalSocketDirectory), which only the daemon's user
// can enter; with no such directory set, on a free loopback port. Returns 0 after serving,
// -1 when the server could not start.
int RunIpReputationDataServer(void* unused, uint64_t runTimeMs);
// The same on a given endpoint ("tcp://H:P", port 0 picks one, or "unix:/PATH");
// `onListening` (may be empty) gets the bound port (0 for a socket) once the server
// accepts calls: a socket that cannot listen yet is tried again on the process's retry
// schedule (qbx::rpc::ServerBuilder::SetListenRetry), and is announced when it listens.
int RunIpReputationDataServer(const std::string& endpoint, uint64_t runTimeMs,
                              const std::function<void(int port)>& onListening);
// Ends every run that has begun and returns once they have stopped serving (their sockets
// removed); a run that begins afterwards serves as usual. Not to be called from inside a
// run's `onListening`.
void StopIpReputationDataServer();
