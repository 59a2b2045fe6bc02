// printf-style formatting into a std::string, shared by the utilities that take
// a format. Internal to libKxUtils.so (hidden like everything not marked KX_API).
#pragma once
#include <cstdarg>
#include <string>

namespace kxutils {

// The formatted text of any length; a null format gives "".
std::string FormatV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace kxutils
