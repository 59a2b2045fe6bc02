// Log lines and errors of the library's own operations.
#include "Diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace LustreAPI {
namespace {

// The Win32 code of every failure made by CommandError.
constexpr unsigned kCommandErrorCode = 774;

std::string FormatV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

std::string FormatV(const char* format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) return std::string();
    std::string text(static_cast<size_t>(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

}  // namespace

// The text is formatted here, where the compiler has checked the format
// against its arguments, and handed on whole: a variadic call cannot pass
// its arguments on to another.
void LogLine(const HBCodeLocation& where, const char* format, ...)
{
    LogWriter* const writer = g_ptrLogWriter;
    if (!writer || writer->GetLevel() < 0) return;
    va_list args;
    va_start(args, format);
    const std::string text = FormatV(format, args);
    va_end(args);
    writer->Log(0, where.m_function, where.m_line, 0, 0, "%s", text.c_str());
}

void LogAlways(const HBCodeLocation& where, const char* format, ...)
{
    LogWriter* const writer = g_ptrLogWriter;
    if (!writer) return;
    va_list args;
    va_start(args, format);
    const std::string text = FormatV(format, args);
    va_end(args);
    writer->Log(-1, where.m_function, where.m_line, 0, 0, "%s", text.c_str());
}

CKxError CommandError(const HBCodeLocation& where, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = FormatV(format, args);
    va_end(args);
    return HBErrorUtil::ErrorWin32(where, kCommandErrorCode, "%s", text.c_str());
}

}  // namespace LustreAPI
