// The pNIC bond reporter: the transport node status vertical keeps one and asks it for the
// host's physical NIC bonds. It is not a vertical itself. No bond source is wired in on
// this node, so it reports none.
//
// Threading: stateless.
#pragma once

class PnicBondReporter {
 public:
  PnicBondReporter() = default;
  PnicBondReporter(const PnicBondReporter&) = delete;
  PnicBondReporter& operator=(const PnicBondReporter&) = delete;
};
