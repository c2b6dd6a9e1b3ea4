// The type-identifier table of the host-side aggregation messages: which sub-message of
// AggSvcMpUnifiedMsg carries an application's message of a given type identifier.
//
// Each row accepts one to three identifiers (management-plane class names and protobuf
// full names, compared exactly and with case) and names the carried message's protobuf
// type and the number of its field in AggSvcMpUnifiedMsg. Rows are searched in order; the
// first match wins. Immutable after its first use; safe from any thread.
#pragma once

#include <string>
#include <vector>

namespace qbx {

class AggSvcTypeIdTable {
 public:
  struct Row {
    std::vector<std::string> ids;
    std::string fullName;
    int field;
  };
  static const std::vector<Row>& Rows();
  // The first row accepting `typeId`, or null.
  static const Row* Find(const std::string& typeId);
};

}  // namespace qbx
