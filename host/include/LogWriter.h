// The process's log writer.
#pragma once
#include <atomic>

#include "KxExport.h"

// The default writer prints one line per call to standard error: a time stamp,
// the level, the function text, the line number and the message. Lines from
// several threads never interleave. A line is written when its level is at most
// the writer's level; callers that log at level 0 ask GetLevel() first.
class KX_API LogWriter {
public:
    LogWriter();
    virtual ~LogWriter();
    virtual int GetLevel();
    virtual void Log(int level, const char* function, int line, int, int, const char* format, ...)
        __attribute__((format(printf, 7, 8)));

    // Not part of the host's declarations: lets a host or a test set the level
    // of the default writer (initially 0).
    void SetLevel(int level);

private:
    std::atomic<int> m_level;
};

// The process's writer; may be null (then nothing is logged). Starts out
// pointing at a default writer.
extern KX_API LogWriter* g_ptrLogWriter;
