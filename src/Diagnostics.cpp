// Log lines and errors of the library's own operations.
#include "Diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

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

namespace {

// The file names of refusals and of time limits: the text every error of
// the library carries, in objects of their own. The host's error keeps the
// location it is given (its texts must outlive the error), so the address
// tells the kind without a word of the message being read. Not const, so
// that no merging of equal constants can give the two one address.
char g_refusalFile[] = "LustreAPI";
char g_timeLimitFile[] = "LustreAPI";

CKxError MarkedError(const char* file, const HBCodeLocation& where, const std::string& text)
{
    const HBCodeLocation marked{file, where.m_function, where.m_line};
    return HBErrorUtil::ErrorWin32(marked, kCommandErrorCode, "%s", text.c_str());
}

}  // namespace

CKxError RefusalError(const HBCodeLocation& where, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = FormatV(format, args);
    va_end(args);
    return MarkedError(g_refusalFile, where, text);
}

CKxError TimeLimitError(const HBCodeLocation& where, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = FormatV(format, args);
    va_end(args);
    return MarkedError(g_timeLimitFile, where, text);
}

namespace {

// The first location is where the error was made; Push adds later ones.
bool MadeWith(const CKxError& error, const char* file)
{
    if (!error.Failed()) return false;
    const std::vector<HBCodeLocation> locations = error.GetLocations();
    return !locations.empty() && locations.front().m_file == file;
}

}  // namespace

bool IsRefusal(const CKxError& error) { return MadeWith(error, g_refusalFile); }

bool IsTimeLimit(const CKxError& error) { return MadeWith(error, g_timeLimitFile); }

}  // namespace LustreAPI
