// Verticals: the collectors that the aggregation framework serves, with the adapter entries
// they declare, the pull target handed to their pull callbacks, and the framework's
// exception types.
//
// Threading: a vertical's entry list is filled by the process entry point before the
// manager exists and only read afterwards. The two version numbers are written by the
// vertical's client (SetMPVersion, under the client's request lock) and read by it.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class AggServiceClient;

// Adapter kind of a message type that is also collected from the smart NICs of the host.
constexpr uint32_t SNIC_ADAPTER = 1;

struct AdapterEntry {
  uint32_t kind = 0;
  // Full protobuf type name, e.g. "zumbra.qbx.agg_service.TunnelsMsg".
  std::string msgTypeName;
};

class Vertical {
 public:
  Vertical(const std::string& name, bool skipFirstValue);
  virtual ~Vertical();
  Vertical(const Vertical&) = delete;
  Vertical& operator=(const Vertical&) = delete;

  // The vertical's name; every log record of its client carries it.
  virtual const char* GetName() = 0;
  // Registers the vertical's handlers with its client; called once, before set-up.
  virtual void RegisterCallbacks(std::shared_ptr<AggServiceClient> client) = 0;

  // True when an entry with both this kind and this name is present.
  bool HasAdapter(const std::string& msgTypeName, uint32_t kind) const;
  // True when any entry is of kind SNIC_ADAPTER.
  bool HasSnicAdapter() const;

  const std::string& Name() const { return name; }
  bool SkipFirstValue() const { return skipFirstValue; }
  std::vector<AdapterEntry>& AdapterEntries() { return adapterEntries; }
  const std::vector<AdapterEntry>& AdapterEntries() const { return adapterEntries; }
  void AddAdapterEntry(uint32_t kind, const std::string& msgTypeName);

  uint32_t MpMajorVersion() const { return mpMajorVersion; }
  uint32_t MpMinorVersion() const { return mpMinorVersion; }
  void SetMpVersion(uint32_t major, uint32_t minor) {
    mpMajorVersion = major;
    mpMinorVersion = minor;
  }

 private:
  std::string name;
  bool skipFirstValue;
  std::vector<AdapterEntry> adapterEntries;
  uint32_t mpMajorVersion = 0;
  uint32_t mpMinorVersion = 0;
};

// One target id of a pull request.
class PullTarget {
 public:
  explicit PullTarget(std::string targetId) : targetId(std::move(targetId)) {}
  virtual ~PullTarget() = default;
  const std::string& GetTargetId() const { return targetId; }

 private:
  std::string targetId;
};

class AggServiceException : public std::exception {
 public:
  explicit AggServiceException(std::string message) : message(std::move(message)) {}
  const char* what() const noexcept override = 0;

 protected:
  std::string message;
};

// Thrown by the manager when the vertical list it is given is unusable.
class VerticalInitException : public AggServiceException {
 public:
  explicit VerticalInitException(const std::string& message) : AggServiceException(message) {}
  const char* what() const noexcept override { return message.c_str(); }
};
