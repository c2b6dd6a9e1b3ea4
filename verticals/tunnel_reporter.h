// The tunnel reporter: reads tunnel state from the overlay switching character device for
// the transport node status vertical. It is not a vertical itself.
//
// Threading: the device path is fixed at construction and only read afterwards.
#pragma once

#include <string>

#include "core/static_tables.h"

class TunnelReporter {
 public:
  TunnelReporter() : devicePath(qbx::OverlaySwitchingDevicePath()) {}
  TunnelReporter(const TunnelReporter&) = delete;
  TunnelReporter& operator=(const TunnelReporter&) = delete;

  const std::string& DevicePath() const { return devicePath; }

 private:
  std::string devicePath;
};
