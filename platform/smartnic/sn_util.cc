#include "platform/smartnic/sn_util.h"

#include <boost/property_tree/ptree.hpp>
#include <filesystem>
#include <map>
#include <mutex>
#include <utility>

#include "base/json_file.h"
#include "base/logger.h"
#include "base/node_identity.h"

namespace {

constexpr const char* kSubcomp = "smartnic";

struct State {
  std::mutex mutex;
  SNUtil::Topology topology;                                 // guarded by mutex
  std::map<uint64_t, SNUtil::DatapathRestartObserver> observers;  // guarded by mutex
  uint64_t nextObserverId = 1;                               // guarded by mutex
};

State& GetState() {
  static State* state = new State();  // never destroyed: observers may call in during exit
  return *state;
}

bool ReadTopology(const std::string& path, SNUtil::Topology& out) {
  try {
    boost::property_tree::ptree tree;
    qbx::ReadJsonFile(path, tree);
    SNUtil::Topology topology;
    topology.persona = tree.get<int>("persona", SNUtil::kPersonaNone);
    topology.hostUuid = tree.get<std::string>("hostUuid", "");
    if (auto list = tree.get_child_optional("smartNics")) {
      for (const auto& entry : *list) {
        SNUtil::SmartNic nic;
        nic.mgmtIp = entry.second.get<std::string>("mgmtIp", "");
        nic.uuid = entry.second.get<std::string>("uuid", "");
        if (nic.mgmtIp.empty() || nic.uuid.empty()) {
          QBX_LOG(qbx::loglevel::kError)
              .subcomp(kSubcomp)
              .put("[%s] Smart NIC entry without mgmtIp or uuid in %s", "SNUtil::Init", path.c_str());
          return false;
        }
        topology.smartNics.push_back(std::move(nic));
      }
    }
    out = std::move(topology);
    return true;
  } catch (const std::exception& e) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .put("[%s] Cannot read smart-NIC topology %s: %s", "SNUtil::Init", path.c_str(), e.what());
    return false;
  }
}

}  // namespace

int SNUtil::Init() { return Init(kTopologyFile); }

int SNUtil::Init(const std::string& path) {
  qbx::SmartNicTopologyHooks hooks;
  hooks.getNodePersona = &SNUtil::GetNodePersona;
  hooks.getSnHostUuid = &SNUtil::GetSNHostUUID;
  qbx::SetSmartNicTopologyHooks(hooks);
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return 0;
  Topology topology;
  if (!ReadTopology(path, topology)) return -1;
  SetTopology(topology);
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[%s] Node persona %d with %zu smart NICs", "SNUtil::Init", topology.persona, topology.smartNics.size());
  return 0;
}

void SNUtil::SetTopology(const Topology& topology) {
  State& state = GetState();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.topology = topology;
}

int SNUtil::GetNodePersona() {
  State& state = GetState();
  std::lock_guard<std::mutex> guard(state.mutex);
  return state.topology.persona;
}

uint32_t SNUtil::GetNumSmartNICs() {
  State& state = GetState();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (state.topology.persona != kPersonaSnHost) return 0;
  return static_cast<uint32_t>(state.topology.smartNics.size());
}

std::vector<std::string> SNUtil::GetSNMgmtIPListOnHost() {
  State& state = GetState();
  std::lock_guard<std::mutex> guard(state.mutex);
  std::vector<std::string> ips;
  if (state.topology.persona != kPersonaSnHost) return ips;
  for (const auto& nic : state.topology.smartNics) ips.push_back(nic.mgmtIp);
  return ips;
}

std::string SNUtil::GetSNUUIDFromIP(const std::string& mgmtIp) {
  State& state = GetState();
  std::lock_guard<std::mutex> guard(state.mutex);
  for (const auto& nic : state.topology.smartNics) {
    if (nic.mgmtIp == mgmtIp) return nic.uuid;
  }
  return std::string();
}

std::string SNUtil::GetSNHostUUID() {
  State& state = GetState();
  std::lock_guard<std::mutex> guard(state.mutex);
  return state.topology.persona == kPersonaSnHost ? state.topology.hostUuid : std::string();
}

uint64_t SNUtil::AddDatapathRestartObserver(DatapathRestartObserver observer) {
  State& state = GetState();
  std::lock_guard<std::mutex> guard(state.mutex);
  uint64_t id = state.nextObserverId++;
  state.observers.emplace(id, std::move(observer));
  return id;
}

void SNUtil::RemoveDatapathRestartObserver(uint64_t id) {
  State& state = GetState();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.observers.erase(id);
}

void SNUtil::NotifyDatapathRestart(const std::string& snUuid) {
  std::vector<DatapathRestartObserver> observers;
  {
    State& state = GetState();
    std::lock_guard<std::mutex> guard(state.mutex);
    for (const auto& entry : state.observers) observers.push_back(entry.second);
  }
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[%s] Datapath of smart NIC %s restarted", "SNUtil::NotifyDatapathRestart", snUuid.c_str());
  for (const auto& observer : observers) {
    try {
      if (observer) observer(snUuid);
    } catch (const std::exception& e) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .put("[%s] Datapath restart observer failed: %s", "SNUtil::NotifyDatapathRestart", e.what());
    } catch (...) {
      QBX_LOG(qbx::loglevel::kError)
          .subcomp(kSubcomp)
          .put("[%s] Datapath restart observer failed", "SNUtil::NotifyDatapathRestart");
    }
  }
}
