#include "platform/runtime/string_format.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace qbx {

std::string string_vformat(const char* format, va_list args) {
  if (format == nullptr) return std::string();
  char small[256];
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(small, sizeof(small), format, copy);
  va_end(copy);
  if (needed < 0) return std::string();
  if (static_cast<size_t>(needed) < sizeof(small)) return std::string(small, needed);
  std::vector<char> big(static_cast<size_t>(needed) + 1);
  va_copy(copy, args);
  int written = std::vsnprintf(big.data(), big.size(), format, copy);
  va_end(copy);
  if (written < 0) return std::string();
  return std::string(big.data(), static_cast<size_t>(std::min(written, needed)));
}

std::string string_format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = string_vformat(format, args);
  va_end(args);
  return text;
}

}  // namespace qbx
