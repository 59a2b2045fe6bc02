#include "Message.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace sim::lib {

void PrintMessage(const char* format, ...)
{
    std::string line = program_invocation_short_name;
    line += ": ";
    va_list args;
    va_start(args, format);
    char buf[512];
    const int n = vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof buf) {
        line.append(buf, static_cast<size_t>(n));
    } else {
        std::string big(static_cast<size_t>(n) + 1, '\0');
        va_start(args, format);
        vsnprintf(big.data(), big.size(), format, args);
        va_end(args);
        line.append(big.data(), static_cast<size_t>(n));
    }
    fputs(line.c_str(), stderr);
}

}  // namespace sim::lib
