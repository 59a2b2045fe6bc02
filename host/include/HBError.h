// The host's error object and the helpers that make one.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "KxExport.h"

// Where an error was made or extended. The two texts must outlive every error
// that holds the location: pass literals or __PRETTY_FUNCTION__.
struct HBCodeLocation {
    const char* m_file;      // source file name, e.g. "LustreAPI"
    const char* m_function;  // __PRETTY_FUNCTION__ text
    int m_line;
};

struct HBErrorPrivate;

// A status code plus shared details (messages with their locations).
// Default-constructed: success (code 0, no details). A failure has a negative
// code. Copies share their details; the reference count is atomic.
class KX_API CKxError {
public:
    CKxError();           // success: code 0, no details
    int GetCode() const;  // negative on failure
    bool Failed() const;  // GetCode() < 0
    CKxError& Push(const HBCodeLocation& where, const char* format, ...) __attribute__((format(printf, 3, 4)));
    std::vector<std::string> GetMessages() const;      // oldest first
    std::vector<HBCodeLocation> GetLocations() const;  // same order as the messages
    int GetSystemError() const;                        // the Win32 code or errno value it was made from; 0 for success
    std::string ToString() const;                      // one readable text: messages with their locations

private:
    friend class HBErrorUtil;
    int m_code;
    std::shared_ptr<HBErrorPrivate> m_details;
};

class KX_API HBErrorUtil {
public:
    // A failure from a Win32 code: GetCode() is HRESULT_FROM_WIN32(code),
    // 0x80070000 | (code & 0xFFFF) as a negative int; 774 gives 0x80070306.
    static CKxError ErrorWin32(const HBCodeLocation& where, unsigned code, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    // A failure from an errno value: GetCode() is -errnum (or -1 for errnum <= 0).
    static CKxError ErrorErrNo(const HBCodeLocation& where, int errnum, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
};
