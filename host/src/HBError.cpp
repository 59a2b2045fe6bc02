// The error object: a code plus details shared between copies.
#include "HBError.h"

#include <cstdarg>

#include "FormatV.h"

struct HBErrorPrivate {
    std::vector<std::string> messages;
    std::vector<HBCodeLocation> locations;
    int systemError = 0;
};

namespace {

// Texts of a location may be null when a caller builds one by hand.
const char* OrUnknown(const char* text) { return text ? text : "?"; }

}  // namespace

CKxError::CKxError() : m_code(0) {}

int CKxError::GetCode() const { return m_code; }

bool CKxError::Failed() const { return m_code < 0; }

// Pushing onto a success makes it a failure with code -1: a message only ever
// explains something that went wrong, and a caller testing the sign must see it.
// Copies share the details, so the message shows in every copy that shares them.
CKxError& CKxError::Push(const HBCodeLocation& where, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string message = kxutils::FormatV(format, args);
    va_end(args);
    if (!m_details) m_details = std::make_shared<HBErrorPrivate>();
    m_details->messages.push_back(std::move(message));
    m_details->locations.push_back(where);
    if (m_code >= 0) m_code = -1;
    return *this;
}

std::vector<std::string> CKxError::GetMessages() const
{
    return m_details ? m_details->messages : std::vector<std::string>{};
}

std::vector<HBCodeLocation> CKxError::GetLocations() const
{
    return m_details ? m_details->locations : std::vector<HBCodeLocation>{};
}

int CKxError::GetSystemError() const { return m_details ? m_details->systemError : 0; }

// One line per message, oldest first: "file:line function: message".
std::string CKxError::ToString() const
{
    std::string text;
    if (!m_details) return text;
    for (size_t i = 0; i < m_details->messages.size(); ++i) {
        const HBCodeLocation& where = m_details->locations[i];
        if (i) text += '\n';
        text += OrUnknown(where.m_file);
        text += ':';
        text += std::to_string(where.m_line);
        text += ' ';
        text += OrUnknown(where.m_function);
        text += ": ";
        text += m_details->messages[i];
    }
    return text;
}

// A Win32 code becomes HRESULT_FROM_WIN32(code) as a negative int. Unlike the
// Windows macro, 0 is not turned into success: the caller asked for a failure.
CKxError HBErrorUtil::ErrorWin32(const HBCodeLocation& where, unsigned code, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    CKxError error;
    error.Push(where, "%s", kxutils::FormatV(format, args).c_str());
    va_end(args);
    error.m_code = static_cast<int>(0x80070000u | (code & 0xFFFFu));
    error.m_details->systemError = static_cast<int>(code);
    return error;
}

CKxError HBErrorUtil::ErrorErrNo(const HBCodeLocation& where, int errnum, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    CKxError error;
    error.Push(where, "%s", kxutils::FormatV(format, args).c_str());
    va_end(args);
    error.m_code = errnum > 0 ? -errnum : -1;
    error.m_details->systemError = errnum;
    return error;
}
