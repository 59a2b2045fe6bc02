// llapi_error, llapi_printf, the message level and the callbacks.
#include "Message.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "StringFormat.h"

#define LLAPI_EXPORT extern "C" __attribute__((visibility("default")))

namespace sim::lib {
namespace {

// Everything prints until a program lowers the level.
std::atomic<int> g_level{LLAPI_MSG_MAX};
std::atomic<llapi_log_callback_t> g_errorCallback{nullptr};  // null: the default
std::atomic<llapi_log_callback_t> g_infoCallback{nullptr};
std::mutex g_commandMutex;
std::string g_command;  // "" when none is set; guarded by g_commandMutex

}  // namespace

std::string MessagePrefix()
{
    std::string prefix = program_invocation_short_name;
    std::lock_guard<std::mutex> lock(g_commandMutex);
    if (!g_command.empty()) prefix += " " + g_command;
    return prefix + ": ";
}

namespace {

// One write per message, so that lines of concurrent threads do not mix.
void Emit(FILE* stream, const std::string& text)
{
    fwrite(text.data(), 1, text.size(), stream);
    fflush(stream);
}

void DefaultError(enum llapi_message_level level, int err, const char* format, va_list args)
{
    Emit(stderr, MessagePrefix() + FormatMessage(level, err, format, args));
}

void DefaultInfo(enum llapi_message_level, int err, const char* format, va_list args)
{
    Emit(stdout, (err != 0 ? MessagePrefix() : std::string()) + VFormat(format, args));
}

void Dispatch(std::atomic<llapi_log_callback_t>& slot, llapi_log_callback_t fallback, int level, int err,
              const char* format, va_list args)
{
    if (!format || (level & LLAPI_MSG_MASK) > g_level.load()) return;  // a NULL format prints nothing
    const int saved = errno;
    llapi_log_callback_t cb = slot.load();
    (cb ? cb : fallback)(static_cast<llapi_message_level>(level), abs(err), format, args);
    errno = saved;
}

}  // namespace

std::string FormatMessage(enum llapi_message_level level, int err, const char* format, va_list args)
{
    const char* newline = strrchr(format, '\n');
    if (level & LLAPI_MSG_NO_ERRNO) return VFormat(format, args) + (newline ? "" : "\n");
    // The text loses its format's last line break (and what follows it) so
    // that the error fits on the line.
    std::string text;
    if (newline) {
        const std::string shortened(format, static_cast<size_t>(newline - format));
        text = VFormat(shortened.c_str(), args);
    } else {
        text = VFormat(format, args);
    }
    return text + ": " + strerror(err) + " (" + std::to_string(err) + ")\n";
}

void PrintMessage(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Dispatch(g_errorCallback, DefaultError, LLAPI_MSG_ERROR | LLAPI_MSG_NO_ERRNO, 0, format, args);
    va_end(args);
}

void PrintError(int err, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Dispatch(g_errorCallback, DefaultError, LLAPI_MSG_ERROR, err, format, args);
    va_end(args);
}

}  // namespace sim::lib

using namespace sim::lib;

LLAPI_EXPORT void llapi_msg_set_level(int level)
{
    g_level = level < LLAPI_MSG_OFF ? LLAPI_MSG_OFF : level > LLAPI_MSG_MAX ? LLAPI_MSG_MAX : level;
}

LLAPI_EXPORT int llapi_msg_get_level(void) { return g_level; }

LLAPI_EXPORT llapi_log_callback_t llapi_error_callback_set(llapi_log_callback_t cb)
{
    const llapi_log_callback_t old = g_errorCallback.exchange(cb);
    return old ? old : DefaultError;
}

LLAPI_EXPORT llapi_log_callback_t llapi_info_callback_set(llapi_log_callback_t cb)
{
    const llapi_log_callback_t old = g_infoCallback.exchange(cb);
    return old ? old : DefaultInfo;
}

LLAPI_EXPORT void llapi_error(enum llapi_message_level level, int err, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    Dispatch(g_errorCallback, DefaultError, level, err, fmt, args);
    va_end(args);
}

LLAPI_EXPORT void llapi_printf(enum llapi_message_level level, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    Dispatch(g_infoCallback, DefaultInfo, level, 0, fmt, args);
    va_end(args);
}

LLAPI_EXPORT void llapi_set_command_name(const char* cmd)
{
    std::lock_guard<std::mutex> lock(g_commandMutex);
    g_command = cmd ? cmd : "";
}

LLAPI_EXPORT void llapi_clear_command_name(void)
{
    std::lock_guard<std::mutex> lock(g_commandMutex);
    g_command.clear();
}
