// printf into a std::string: the one formatting helper of the stand-in.
#pragma once
#include <cstdarg>
#include <cstdio>
#include <string>

namespace sim {

inline std::string VFormat(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    char buf[512];
    const int n = vsnprintf(buf, sizeof buf, format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_copy(copy, args);
    vsnprintf(big.data(), big.size(), format, copy);
    va_end(copy);
    big.resize(static_cast<size_t>(n));
    return big;
}

inline std::string __attribute__((format(printf, 1, 2))) Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = VFormat(format, args);
    va_end(args);
    return text;
}

}  // namespace sim
