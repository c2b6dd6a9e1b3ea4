#include "base/node_identity.h"

#include <atomic>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <exception>
#include <optional>
#include <sstream>
#include <utility>

#include "base/bounded_file.h"
#include "base/logger.h"
#include "base/xml_file.h"

namespace qbx {

namespace {

constexpr char kNodeTypeMarker[] = "node-type: ";
constexpr size_t kNodeTypeMarkerLength = sizeof(kNodeTypeMarker) - 1;  // 11

std::atomic<int (*)()> gGetNodePersona{nullptr};
std::atomic<std::string (*)()> gGetSnHostUuid{nullptr};

int NodePersona() {
  int (*hook)() = gGetNodePersona.load(std::memory_order_acquire);
  return hook != nullptr ? hook() : 0;
}

}  // namespace

std::string GetNodeUuid() { return GetNodeUuid(kHostConfigFile); }

std::string GetNodeUuid(const std::string& hostConfigPath) {
  std::string uuid;
  std::optional<std::string> error;
  try {
    boost::property_tree::ptree tree;
    // Read at every start: a file too deep, too large or not a file is refused like a
    // malformed one.
    ReadXmlFile(hostConfigPath, tree, boost::property_tree::xml_parser::no_comments);
    uuid = tree.get<std::string>("config.uuid", "");
  } catch (const std::exception& e) {
    error = e.what();
  }
  // Only the value lives on; what the parse held, whole tree or the part made before an
  // error, goes back to the system.
  ReleaseFreedMemory();
  if (error) {
    QBX_LOG(loglevel::kInfo)
        .subcomp("agg-service")
        .put("Error reading node uuid from %s. %s.", hostConfigPath.c_str(), error->c_str());
    return std::string();
  }
  if (uuid.empty()) {
    QBX_LOG(loglevel::kDebug)
        .subcomp("agg-service")
        .put("Empty uuid in host config file: %s", hostConfigPath.c_str());
  }
  return uuid;
}

int ReadNodeType(std::string& nodeType) { return ReadNodeType(nodeType, kNodeTypeIssueFile); }

bool ReadProductIssueFile(const std::string& issuePath, std::string& text) {
  try {
    text = ReadBoundedFile(issuePath);
    return true;
  } catch (const BoundedFileError& e) {
    if (!e.absent()) {
      QBX_LOG(loglevel::kInfo)
          .subcomp("agg-service")
          .put("Error reading node type from %s. %s.", issuePath.c_str(), e.what());
    }
    return false;
  }
}

int ReadNodeType(std::string& nodeType, const std::string& issuePath) {
  std::string text;
  if (!ReadProductIssueFile(issuePath, text)) return -1;
  std::istringstream in(std::move(text));
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(kNodeTypeMarker) != std::string::npos) {
      // The value starts after the marker's length whatever the marker's position.
      nodeType = line.substr(kNodeTypeMarkerLength);
      return 0;
    }
  }
  return -1;
}

std::string GetServiceNameForNodeType() { return GetServiceNameForNodeType(kNodeTypeIssueFile); }

std::string GetServiceNameForNodeType(const std::string& issuePath) {
  std::string nodeType;
  if (ReadNodeType(nodeType, issuePath) != 0) return "qbx-exporter";
  struct Rule {
    const char* substring;
    const char* processName;
  };
  static constexpr Rule kRules[] = {
      {"qbx-manager", "qbx-host-node-status-reporter"},
      {"global-manager", "qbx-host-node-status-reporter"},
      {"qbx-edge", "qbx-edge-exporter"},
      {"qbx-public-cloud-gateway", "qbx-edge-exporter"},
  };
  for (const Rule& rule : kRules) {
    if (nodeType.find(rule.substring) != std::string::npos) return rule.processName;
  }
  return "qbx-exporter";
}

std::string GetDpuId() {
  if (NodePersona() != kNodePersonaSmartNicHost) return std::string();
  std::string (*hook)() = gGetSnHostUuid.load(std::memory_order_acquire);
  return hook != nullptr ? hook() : std::string();
}

bool IsPlatformModeEnabled() { return false; }

void SetSmartNicTopologyHooks(const SmartNicTopologyHooks& hooks) {
  gGetNodePersona.store(hooks.getNodePersona, std::memory_order_release);
  gGetSnHostUuid.store(hooks.getSnHostUuid, std::memory_order_release);
}

}  // namespace qbx
