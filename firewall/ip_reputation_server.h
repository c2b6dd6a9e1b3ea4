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

// Where the service listens; port 0 picks a free port, which is logged.
constexpr const char* kIpReputationEndpoint = "tcp://127.0.0.1:0";

// `unused` is not read. Returns 0 after serving, -1 when the server could not start.
int RunIpReputationDataServer(void* unused, uint64_t runTimeMs);
// The same on a given endpoint; `onListening` (may be empty) gets the bound port once
// the server accepts calls.
int RunIpReputationDataServer(const std::string& endpoint, uint64_t runTimeMs,
                              const std::function<void(int port)>& onListening);
// Ends every run that has begun; a run that begins afterwards serves as usual.
void StopIpReputationDataServer();
