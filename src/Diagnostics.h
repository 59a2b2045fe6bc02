// Code locations, log lines and errors of the library's own operations.
#pragma once
#include "HBError.h"
#include "LogWriter.h"

// The location of the statement, as errors and log lines of this library
// carry it. A macro only because the function text and the line must be the
// caller's.
#define LAPI_LOCATION (HBCodeLocation{"LustreAPI", __PRETTY_FUNCTION__, __LINE__})

namespace LustreAPI {

// A level-0 line with where's function text and line, written only when the
// process has a writer whose level is 0 or more; the writer and its level are
// read afresh at each line.
void LogLine(const HBCodeLocation& where, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A level -1 line, written without asking the writer's level.
void LogAlways(const HBCodeLocation& where, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A failure of the library's own work (commands, their output, refused
// arguments): HBErrorUtil::ErrorWin32 with the code 774 and the formatted
// message, at where.
CKxError CommandError(const HBCodeLocation& where, const char* format, ...) __attribute__((format(printf, 2, 3)));

// CommandError for a value refused before anything ran, and for a time limit
// or wait that passed: the same code and texts, the file name "LustreAPI"
// too, but held in an object of its own, which GetErrorKind recognises. The
// kind thus travels with the error wherever it is copied or returned.
CKxError RefusalError(const HBCodeLocation& where, const char* format, ...) __attribute__((format(printf, 2, 3)));
CKxError TimeLimitError(const HBCodeLocation& where, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Whether error was made by RefusalError, by TimeLimitError.
bool IsRefusal(const CKxError& error);
bool IsTimeLimit(const CKxError& error);

}  // namespace LustreAPI
