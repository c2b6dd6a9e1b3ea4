// The application-ID name table of the firewall's application identification: every id
// from -1 to 5360 with its constant name ("APP_..."). The flow export turns the
// application id of a flow into a name with it.
//
// The table is generated (core/app_id_table.cc, by scripts/gen_app_id_table.py), built on
// first use and never modified afterwards; it may be read from any thread.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace qbx {

const std::map<int, const char*>& AppIdNameTable();

// Number of pairs the generated array holds.
size_t AppIdTableSize();

// The name of `appId` without its "APP_" prefix, or "UNKNOWN" when the id is not in the table.
std::string AppIdDisplayName(int appId);

}  // namespace qbx
