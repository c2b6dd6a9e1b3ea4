#include "aggsvc/vertical.h"

#include <algorithm>

Vertical::Vertical(const std::string& name, bool skipFirstValue) : name(name), skipFirstValue(skipFirstValue) {}

Vertical::~Vertical() = default;

bool Vertical::HasAdapter(const std::string& msgTypeName, uint32_t kind) const {
  return std::any_of(adapterEntries.begin(), adapterEntries.end(), [&](const AdapterEntry& e) {
    return e.kind == kind && e.msgTypeName == msgTypeName;
  });
}

bool Vertical::HasSnicAdapter() const {
  return std::any_of(adapterEntries.begin(), adapterEntries.end(),
                     [](const AdapterEntry& e) { return e.kind == SNIC_ADAPTER; });
}

void Vertical::AddAdapterEntry(uint32_t kind, const std::string& msgTypeName) {
  adapterEntries.push_back(AdapterEntry{kind, msgTypeName});
}
