// printf-style formatting into a std::string, of any length.
#pragma once

#include <cstdarg>
#include <string>

namespace qbx {

// Returns the formatted text; an invalid format gives an empty string.
std::string string_format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string string_vformat(const char* format, va_list args);

}  // namespace qbx
