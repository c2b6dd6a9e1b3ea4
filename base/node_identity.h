// Who this node is: its UUID from the host configuration, its type from the product issue
// file, the process name the health agent knows it by, and its smart-NIC identity.
//
// Nothing is cached: every call reads its file again. All functions are re-entrant; the
// smart-NIC topology hooks are process-wide and set once at start-up (or by tests).
#pragma once

#include <string>

namespace qbx {

inline constexpr char kHostConfigFile[] = "/etc/zumbra/qbx/host-cfg.xml";
inline constexpr char kNodeTypeIssueFile[] = "/etc/qbx_issue";

// The text of "config.uuid" in the host configuration, or "" (missing file, bad XML, a file
// that ReadXmlFile refuses, or no value; each logged).
std::string GetNodeUuid();
std::string GetNodeUuid(const std::string& hostConfigPath);

// The whole product issue file (read by ReadBoundedFile), or false: silently when there is
// none, with the reason logged when it cannot be read or is refused.
bool ReadProductIssueFile(const std::string& issuePath, std::string& text);

// 0 and the node type from the first issue-file line that contains "node-type: ", taken from
// offset 11 of that line; -1 (output untouched) when the file or the line is missing.
int ReadNodeType(std::string& nodeType);
int ReadNodeType(std::string& nodeType, const std::string& issuePath);

// The process name under which the health agent knows this daemon, by node type.
std::string GetServiceNameForNodeType();
std::string GetServiceNameForNodeType(const std::string& issuePath);

// The smart-NIC host identity on a host with smart NICs (persona 1), else "".
std::string GetDpuId();

// Always false on the nodes this daemon runs on.
bool IsPlatformModeEnabled();

// Node persona values of the smart-NIC topology library.
inline constexpr int kNodePersonaSmartNicHost = 1;  // a host with smart NICs
inline constexpr int kNodePersonaSmartNic = 2;      // the smart NIC itself

// Seam to the smart-NIC topology library, which this unit does not link: whoever owns that
// library installs its persona and host-UUID look-ups at start-up. Until then the node has
// persona 0 (no smart NICs) and no host UUID. Null restores the default.
struct SmartNicTopologyHooks {
  int (*getNodePersona)() = nullptr;
  std::string (*getSnHostUuid)() = nullptr;
};
void SetSmartNicTopologyHooks(const SmartNicTopologyHooks& hooks);

}  // namespace qbx
