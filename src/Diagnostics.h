// Code locations and log lines of the library's own operations.
#pragma once
#include "HBError.h"
#include "LogWriter.h"

// The location of the statement, as errors of this library carry it.
#define LAPI_LOCATION (HBCodeLocation{"LustreAPI", __PRETTY_FUNCTION__, __LINE__})

// A level-0 line, written only when the process has a writer whose level is
// 0 or more; the writer and its level are read afresh at each line.
#define LAPI_LOG0(...)                                                          \
    do {                                                                        \
        LogWriter* lapiWriter_ = g_ptrLogWriter;                                \
        if (lapiWriter_ && lapiWriter_->GetLevel() >= 0)                        \
            lapiWriter_->Log(0, __PRETTY_FUNCTION__, __LINE__, 0, 0, __VA_ARGS__); \
    } while (0)

// A level -1 line, written without asking the writer's level.
#define LAPI_LOG_ALWAYS(...)                                                    \
    do {                                                                        \
        LogWriter* lapiWriter_ = g_ptrLogWriter;                                \
        if (lapiWriter_) lapiWriter_->Log(-1, __PRETTY_FUNCTION__, __LINE__, 0, 0, __VA_ARGS__); \
    } while (0)
