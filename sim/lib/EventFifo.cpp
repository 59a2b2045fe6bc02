// llapi_hsm_register_event_fifo, llapi_hsm_unregister_event_fifo,
// llapi_hsm_log_error and the events the copytool calls write.
#include "EventFifo.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "Message.h"
#include "StringFormat.h"

#define LLAPI_EXPORT extern "C" __attribute__((visibility("default")))

namespace sim::lib {
namespace {

struct Fifo {
    std::mutex mutex;  // guards path and created
    std::atomic<int> fd{-1};
    std::atomic<int> writers{0};  // events being written
    std::string path;
    bool created = false;
};

Fifo& TheFifo()
{
    static Fifo* fifo = new Fifo;  // never destroyed: events may come from atexit handlers
    return *fifo;
}

std::string LocalTime()
{
    const time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    char buf[64];
    strftime(buf, sizeof buf, "%Y-%m-%d %T %z", &tm);
    return buf;
}

// Writes v in decimal with at least width digits at p; no allocation, no
// locale, so that a signal handler may use it.
char* PutNumber(char* p, long long v, int width)
{
    char digits[24];
    int n = 0;
    for (unsigned long long u = static_cast<unsigned long long>(v < 0 ? -v : v); u != 0 || n < width; u /= 10)
        digits[n++] = static_cast<char>('0' + u % 10);
    while (n > 0) *p++ = digits[--n];
    return p;
}

// "YYYY-MM-DD hh:mm:ss +hhmm" for t in a zone gmtoff seconds east of UTC,
// without the C library's time-zone lock; out holds 32 bytes.
void FormatTime(time_t t, long gmtoff, char* out)
{
    const long long local = static_cast<long long>(t) + gmtoff;
    long long days = local / 86400, secs = local % 86400;
    if (secs < 0) secs += 86400, --days;
    // The civil date of a day number (days since 1970-01-01).
    const long long z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097, doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365, doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153, day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char* p = PutNumber(out, year, 4);
    *p++ = '-', p = PutNumber(p, month, 2), *p++ = '-', p = PutNumber(p, day, 2), *p++ = ' ';
    p = PutNumber(p, secs / 3600, 2), *p++ = ':', p = PutNumber(p, secs / 60 % 60, 2), *p++ = ':';
    p = PutNumber(p, secs % 60, 2), *p++ = ' ', *p++ = gmtoff < 0 ? '-' : '+';
    const long off = gmtoff < 0 ? -gmtoff : gmtoff;
    p = PutNumber(p, off / 3600 * 100 + off / 60 % 60, 4);
    *p = '\0';
}

// One event line, in one write, if a FIFO is registered.
void WriteLine(const char* data, size_t size)
{
    Fifo& fifo = TheFifo();
    // Counted before the descriptor is read, so that it is not closed (and
    // its number reused for another file) under the write.
    ++fifo.writers;
    const int fd = fifo.fd.load();
    // One write, so that events of concurrent threads stay whole; with
    // nobody reading it fails with EPIPE and the event is lost.
    if (fd >= 0) {
        ssize_t n = write(fd, data, std::min(size, static_cast<size_t>(PIPE_BUF)));
        (void)n;
    }
    --fifo.writers;
}

}  // namespace

std::string JsonEscape(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '\b': out += "\\\\b"; break;
        case '\f': out += "\\\\f"; break;
        case '\n': out += "\\\\n"; break;
        case '\r': out += "\\\\r"; break;
        case '\t': out += "\\\\t"; break;
        case '"': out += "\\\\\""; break;
        case '\\': out += "\\\\\\\\"; break;
        default: out += c;
        }
    }
    return out;
}

JsonEvent::JsonEvent(const std::string& type)
{
    Str("event_time", LocalTime());
    Str("event_type", type);
}

JsonEvent& JsonEvent::Str(const char* key, const std::string& value)
{
    items_.emplace_back(key, "\"" + JsonEscape(value) + "\"");
    return *this;
}

JsonEvent& JsonEvent::Num(const char* key, long long value)
{
    items_.emplace_back(key, std::to_string(value));
    return *this;
}

JsonEvent& JsonEvent::Fid(const char* key, const lu_fid& fid)
{
    char text[FID_NOBRACE_LEN + 1];
    snprintf(text, sizeof text, DFID_NOBRACE, PFID(&fid));
    return Str(key, text);
}

std::string JsonEvent::Line() const
{
    std::string line = "{";
    for (size_t i = 0; i < items_.size(); ++i)
        line += (i ? ", \"" : "\"") + items_[i].first + "\": " + items_[i].second;
    return line + "}\n";
}

bool EventsWanted() { return TheFifo().fd.load() >= 0; }

void WriteEvent(const JsonEvent& event)
{
    const std::string line = event.Line();
    WriteLine(line.data(), line.size());
}

PreparedEvent::PreparedEvent(const JsonEvent& event) : gmtoff_(0)
{
    const std::string line = event.Line();
    rest_ = line.substr(line.find("\", \"event_type\""));
    const time_t now = time(nullptr);
    struct tm tm {};
    if (localtime_r(&now, &tm)) gmtoff_ = tm.tm_gmtoff;
}

void PreparedEvent::Write() const
{
    if (!EventsWanted()) return;
    static const char kHead[] = "{\"event_time\": \"";
    char line[PIPE_BUF];
    char* p = line;
    memcpy(p, kHead, sizeof kHead - 1);
    p += sizeof kHead - 1;
    FormatTime(time(nullptr), gmtoff_, p);
    p += strlen(p);  // rest_ begins with the time's closing quote
    const size_t room = sizeof line - static_cast<size_t>(p - line);
    const size_t n = std::min(rest_.size(), room);
    memcpy(p, rest_.data(), n);
    WriteLine(line, static_cast<size_t>(p - line) + n);
}

// Closes a descriptor taken out of the FIFO once the writes that may still
// use it are done; it does not wait for long, as a signal handler may have
// interrupted a write on its own thread. Returns close's result.
static int Retire(Fifo& fifo, int fd)
{
    for (int i = 0; i < 1000 && fifo.writers.load() > 0; ++i) sched_yield();
    return close(fd);
}

}  // namespace sim::lib

using namespace sim::lib;

LLAPI_EXPORT int llapi_hsm_register_event_fifo(const char* path)
{
    if (!path) return -EINVAL;
    Fifo& fifo = TheFifo();
    std::lock_guard<std::mutex> lock(fifo.mutex);
    bool created = true;
    if (mkfifo(path, 0644) != 0) {
        const int err = errno;
        struct stat st {};
        if (err != EEXIST) {
            PrintError(err, "mkfifo(%s) failed", path);
            return -err;
        }
        if (stat(path, &st) != 0 || !S_ISFIFO(st.st_mode) || (st.st_mode & 07777) != 0644) {
            PrintError(EEXIST, "%s exists but is not a pipe or has a wrong mode", path);
            return -EEXIST;
        }
        created = false;
    }
    // A read end opened for the moment lets the write end open without a
    // reader; events written while nobody reads are lost.
    const int readFd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (readFd < 0) {
        const int err = errno;
        PrintError(err, "cannot open(%s) for read", path);
        if (created) unlink(path);
        return -err;
    }
    const int writeFd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    const int err = errno;
    close(readFd);
    if (writeFd < 0) {
        PrintError(err, "cannot open(%s) for write", path);
        if (created) unlink(path);
        return -err;
    }
    signal(SIGPIPE, SIG_IGN);
    const int old = fifo.fd.exchange(writeFd);
    if (old >= 0) Retire(fifo, old);
    fifo.path = path;
    fifo.created = created;
    return 0;
}

LLAPI_EXPORT int llapi_hsm_unregister_event_fifo(const char* path)
{
    Fifo& fifo = TheFifo();
    std::lock_guard<std::mutex> lock(fifo.mutex);
    const int fd = fifo.fd.exchange(-1);
    if (fd < 0) return 0;
    if (Retire(fifo, fd) != 0) return -errno;
    // Only a FIFO this process made goes away.
    if (fifo.created) unlink(fifo.path.c_str());
    (void)path;
    fifo.created = false;
    fifo.path.clear();
    return 0;
}

LLAPI_EXPORT void llapi_hsm_log_error(enum llapi_message_level level, int _rc, const char* fmt, va_list args)
{
    if (TheFifo().fd.load() < 0 || !fmt) return;
    va_list copy;
    va_copy(copy, args);
    const bool formats = vsnprintf(nullptr, 0, fmt, copy) >= 0;
    va_end(copy);
    const std::string message = formats ? sim::VFormat(fmt, args) : "INTERNAL ERROR: message failed";
    const int real = level & ~LLAPI_MSG_NO_ERRNO;
    const char* name = llapi_msg_level2str(static_cast<llapi_message_level>(real));
    JsonEvent event("LOGGED_MESSAGE");
    event.Str("level", name ? name : "").Str("message", message);
    if (!(level & LLAPI_MSG_NO_ERRNO)) event.Str("error", strerror(_rc < 0 ? -_rc : _rc)).Num("errno", _rc);
    WriteEvent(event);
}
