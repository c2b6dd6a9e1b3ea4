// A status source double that keeps the callbacks it is given and refuses chosen types.
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "aggsvc/status_source.h"

namespace qbx::test {

class FakeStatusSource : public qbx::StatusSource::StatusSource {
 public:
  struct Registration {
    std::string vertical, msgType;
    qbx::StatusSource::StatusCallback statusCb;
    qbx::StatusSource::CompareCallback compareCb;
  };
  bool RegisterStatusCallback(const std::string& vertical, const std::string& msgType,
                              qbx::StatusSource::StatusCallback statusCb,
                              qbx::StatusSource::CompareCallback compareCb) override {
    ++attempts;
    if (refused.count(msgType) != 0) return false;
    registrations.push_back(Registration{vertical, msgType, std::move(statusCb), std::move(compareCb)});
    return true;
  }
  bool OnFullSyncRequest() override { return true; }
  void SetFullSyncNeeded() override {}
  void Start() override {}
  void Stop() override {}
  bool IsAlive() override { return true; }

  const Registration* Find(const std::string& msgType) const {
    for (const auto& r : registrations) {
      if (r.msgType == msgType) return &r;
    }
    return nullptr;
  }
  std::set<std::string> refused;
  std::vector<Registration> registrations;
  int attempts = 0;
};

}  // namespace qbx::test
