// Stand-in of the smart-NIC topology library: what this node is (its persona) and, on a
// host with smart NICs, the management addresses and ids of those smart NICs.
//
// The values come from the topology file read by Init ("/etc/zumbra/qbx/smartnic-topology.json",
// a JSON object with "persona", "hostUuid" and "smartNics": [{"mgmtIp", "uuid"}]) or from
// SetTopology (tests, stand-in peers). Without either the node has persona 0: no smart NICs.
// Init also connects the node-identity look-ups (GetDpuId) to this library.
//
// The library also tells its observers when the datapath of one of the host's smart NICs has
// restarted (NotifyDatapathRestart), so that summation statistics that include that smart
// NIC's counters can start again from a clean base.
//
// Threading: every operation may be called from any thread; one mutex guards the topology
// and the observer list. Observers run on the notifying thread, never under that mutex.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class SNUtil {
 public:
  // Node personas.
  static constexpr int kPersonaNone = 0;
  static constexpr int kPersonaSnHost = 1;  // KRX_SN_HOST: a hypervisor host with smart NICs
  static constexpr int kPersonaSn = 2;      // the smart NIC itself
  static constexpr int kPersonaNoSnProxy = 3;

  static constexpr const char* kTopologyFile = "/etc/zumbra/qbx/smartnic-topology.json";

  struct SmartNic {
    std::string mgmtIp;
    std::string uuid;
  };
  struct Topology {
    int persona = kPersonaNone;
    std::string hostUuid;
    std::vector<SmartNic> smartNics;
  };

  using DatapathRestartObserver = std::function<void(const std::string& snUuid)>;

  // Reads the topology file when it exists (a missing file keeps the current topology) and
  // installs the node-identity hooks. 0, or -1 when the file exists but cannot be used (the
  // topology is then left as it was).
  static int Init();
  static int Init(const std::string& path);
  static void SetTopology(const Topology& topology);

  static int GetNodePersona();
  // Smart NICs of this host on persona 1, else 0.
  static uint32_t GetNumSmartNICs();
  // Management addresses of this host's smart NICs, in configuration order.
  static std::vector<std::string> GetSNMgmtIPListOnHost();
  // The id of the smart NIC with that management address, or "" when none has it.
  static std::string GetSNUUIDFromIP(const std::string& mgmtIp);
  // The id of the host that carries the smart NICs (persona 1), or "".
  static std::string GetSNHostUUID();

  // Observers of smart-NIC datapath restarts; the id removes the observer again.
  static uint64_t AddDatapathRestartObserver(DatapathRestartObserver observer);
  static void RemoveDatapathRestartObserver(uint64_t id);
  // Tells every observer that the datapath of smart NIC `snUuid` restarted.
  static void NotifyDatapathRestart(const std::string& snUuid);
};
