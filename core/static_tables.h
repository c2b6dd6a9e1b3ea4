// Constant tables and process-wide objects that several modules reach without being handed
// them. Each is built on first use (so no module depends on the link order of static
// initialisers) and lives until the process ends; none is ever replaced.
//
// Threading: the constant tables are never modified after they are built and may be read
// from any thread. The two process-wide strings that are written at run time take their
// own mutex.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

namespace qbx {

// The monitoring status source's default polling interval per vertical id, in seconds.
const std::map<int32_t, int64_t>& StatusSourceDefaultIntervals();

// Vertical names that the status source's configuration monitor understands, to their ids.
const std::unordered_map<std::string, int32_t>& StatusSourceVerticalIds();

// Character device the tunnel reporter reads the overlay switching state from.
const std::string& OverlaySwitchingDevicePath();

// Key under which a smart NIC's reply names its protobuf type.
const std::string& SnReplyTypeKey();

// The program name, stored by the manager at start and read when the configuration is
// re-read.
std::string ComponentName();
void SetComponentName(const std::string& name);

// The node UUID as the fabric vertical first read it; empty until then.
std::string FabricNodeUuid();
void SetFabricNodeUuid(const std::string& uuid);

}  // namespace qbx
