// The demo's account of what it does: one numbered entry per call to the
// library, saying what was asked and what came back, and the library's own
// log lines, indented beneath the entry they belong to.
#pragma once
#include <cstdarg>
#include <string>

#include "KxUtils.h"

namespace demo {

class Report {
public:
    // "== title ==" before a job's steps.
    void Job(const std::string& title);
    // "[n] asked", printed before the call so that the library's log lines
    // and the copytool's progress appear beneath it.
    void Ask(const std::string& asked);
    // A step that succeeded: "    -> got" (after "[n] asked" unless Ask
    // printed it already).
    void Ok(const std::string& asked, const std::string& got);
    // A step that failed: "    FAILED: why" (after "[n] asked" as for Ok).
    // Counted; always returns false so callers can "return report.Fail(...)".
    bool Fail(const std::string& asked, const std::string& why);
    // A line of detail under the current step.
    void Detail(const std::string& text);
    int Failures() const { return m_failures; }

private:
    void Header(const std::string& asked);

    int m_step = 0;
    int m_failures = 0;
    std::string m_asked;  // the step whose header is printed, until it ends
};

// The host's log writer as a host would plug in its own: the library's log
// lines appear in the account as "    log: ..." lines.
class IndentingLogWriter : public LogWriter {
public:
    int GetLevel() override { return 0; }
    void Log(int level, const char* function, int line, int, int, const char* format, ...) override
        __attribute__((format(printf, 7, 8)));
};

// A progress line of a step. On a terminal each update rewrites the line in
// place (EndProgress ends it); elsewhere (a pipe, a log file) each update is
// a line of its own and EndProgress prints nothing.
void Progress(const std::string& line);
void EndProgress();

// What the binding holds, in words: "the fifteen entry points every
// operation needs, and the optional llapi_hsm_state_get, ... (bound when
// Lustre's library has them)", or which optional ones are missing.
std::string DescribeBinding();

// printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "-2 (No such file or directory)" for a negative errno result.
std::string ErrnoText(int rc);
// The error's messages, oldest first, joined with " / ".
std::string ErrorText(const CKxError& error);
// Text between double quotes, for the account.
std::string Quoted(const std::string& text);

}  // namespace demo
