#include "DemoReport.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "LustreAPI.h"

namespace demo {

namespace {

std::string FormatV(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) return std::string();
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(needed));
    return text;
}

// Text for one entry of the account: trailing line ends and blanks dropped
// (command errors end in one), inner lines indented under the first.
std::string Tidy(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
        text.insert(at + 1, "         ");
    return text;
}

bool Terminal()
{
    static const bool terminal = isatty(STDOUT_FILENO) != 0;
    return terminal;
}

}  // namespace

void Progress(const std::string& line)
{
    std::printf(Terminal() ? "\r%s" : "%s\n", line.c_str());
    std::fflush(stdout);
}

void EndProgress()
{
    if (Terminal()) std::printf("\n");
}

std::string DescribeBinding()
{
    // The fifteen come first, in table order; whatever follows is optional.
    constexpr size_t kRequired = 15;
    const std::vector<std::string> bound = LustreAPI::GetBoundEntryPoints();
    if (bound.size() < kRequired) return Format("%zu entry points only", bound.size());
    std::string optional;
    for (size_t i = kRequired; i < bound.size(); ++i) optional += (optional.empty() ? "" : ", ") + bound[i];
    return "the fifteen entry points every operation needs, and " +
           (optional.empty() ? std::string("none of the optional ones (HSMStateGet, HSMStateSet and "
                                           "HSMCurrentAction then refuse)")
                             : "the optional " + optional + " (bound when Lustre's library has them)");
}

void Report::Job(const std::string& title)
{
    std::printf("\n== %s ==\n", title.c_str());
    std::fflush(stdout);
}

void Report::Header(const std::string& asked)
{
    if (m_asked == asked) return;
    std::printf("[%2d] %s\n", ++m_step, asked.c_str());
    m_asked = asked;
}

void Report::Ask(const std::string& asked)
{
    Header(asked);
    std::fflush(stdout);
}

void Report::Ok(const std::string& asked, const std::string& got)
{
    Header(asked);
    std::printf("     -> %s\n", Tidy(got).c_str());
    std::fflush(stdout);
    m_asked.clear();
}

bool Report::Fail(const std::string& asked, const std::string& why)
{
    ++m_failures;
    Header(asked);
    std::printf("     FAILED: %s\n", Tidy(why).c_str());
    std::fflush(stdout);
    m_asked.clear();
    return false;
}

void Report::Detail(const std::string& text)
{
    std::printf("     %s\n", Tidy(text).c_str());
    std::fflush(stdout);
}

void IndentingLogWriter::Log(int, const char*, int, int, int, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = FormatV(format, args);
    va_end(args);
    std::printf("     log: %s\n", Tidy(text).c_str());
    std::fflush(stdout);
}

std::string Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    return text;
}

std::string ErrnoText(int rc) { return rc < 0 ? Format("%d (%s)", rc, std::strerror(-rc)) : Format("%d", rc); }

std::string ErrorText(const CKxError& error)
{
    std::string text;
    for (const std::string& message : error.GetMessages()) {
        if (!text.empty()) text += " / ";
        text += message;
    }
    return text.empty() ? Format("error code %d", error.GetCode()) : text;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace demo
