// The default log writer: one line per call to standard error.
#include "LogWriter.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <new>
#include <string>

#include "FormatV.h"

namespace {

// Constant-initialised and never destroyed, so lines logged from the static
// destructors of other libraries still find it usable.
pthread_mutex_t g_lineLock = PTHREAD_MUTEX_INITIALIZER;

// "2026-12-06T20:52:49.123Z"
std::string TimeStamp()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, now.tv_nsec / 1000000L);
    return text;
}

// The whole line goes out under the lock, so lines of several threads never
// mix even when write(2) takes it in parts.
void WriteLine(const std::string& line)
{
    pthread_mutex_lock(&g_lineLock);
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
        const ssize_t done = ::write(STDERR_FILENO, data, left);
        if (done < 0) {
            if (errno == EINTR) continue;
            break;  // nowhere to report a failing standard error
        }
        data += done;
        left -= static_cast<size_t>(done);
    }
    pthread_mutex_unlock(&g_lineLock);
}

// Storage for the default writer. It is built in place and never destroyed:
// g_ptrLogWriter stays valid until the process ends, whatever the order in
// which libraries are torn down.
alignas(LogWriter) unsigned char g_defaultWriterStorage[sizeof(LogWriter)];

}  // namespace

LogWriter* g_ptrLogWriter = new (g_defaultWriterStorage) LogWriter;

LogWriter::LogWriter() : m_level(0) {}

LogWriter::~LogWriter() = default;

int LogWriter::GetLevel() { return m_level.load(std::memory_order_relaxed); }

void LogWriter::SetLevel(int level) { m_level.store(level, std::memory_order_relaxed); }

// "<time> [<level>] <function>:<line> <message>\n", written when level is at
// most the writer's level.
void LogWriter::Log(int level, const char* function, int line, int, int, const char* format, ...)
{
    if (level > GetLevel()) return;
    va_list args;
    va_start(args, format);
    const std::string message = kxutils::FormatV(format, args);
    va_end(args);
    std::string text = TimeStamp();
    text += " [";
    text += std::to_string(level);
    text += "] ";
    text += function ? function : "?";
    text += ':';
    text += std::to_string(line);
    text += ' ';
    text += message;
    text += '\n';
    WriteLine(text);
}
