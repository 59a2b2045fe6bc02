// The library's messages, in liblustreapi's form: through the error and
// info callbacks a program may replace, dropped above the message level,
// and by default on stderr after the program's short name and ": ".
#pragma once
#include <lustre/lustreapi.h>

#include <cstdarg>
#include <string>

namespace sim::lib {

// "<program>: ", or "<program> <command>: " after llapi_set_command_name.
std::string MessagePrefix();

// An error without an errno suffix (llapi_err_noerrno(LLAPI_MSG_ERROR, ...)).
// format carries its own line break.
void PrintMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// An error with ": <strerror(err)> (<err>)" after it (llapi_error).
void PrintError(int err, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The default error output, the same text without the prefix (for the
// event FIFO, which writes messages without it).
std::string FormatMessage(enum llapi_message_level level, int err, const char* format, va_list args);

}  // namespace sim::lib
