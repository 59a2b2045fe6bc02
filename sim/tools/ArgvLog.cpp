#include "ArgvLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "UniqueFd.h"

namespace sim {
namespace {

void AppendJsonString(std::string& out, const char* text)
{
    out += '"';
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
            out += static_cast<char>(*p);
        } else if (*p < 0x20 || *p >= 0x7f) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", *p);
            out += buf;
        } else {
            out += static_cast<char>(*p);
        }
    }
    out += '"';
}

}  // namespace

std::string ArgvLogLine(const char* tool, int argc, char* const argv[])
{
    std::string line = "[";
    AppendJsonString(line, tool);
    for (int i = 1; i < argc; ++i) {
        line += ',';
        AppendJsonString(line, argv[i]);
    }
    return line + "]\n";
}

void LogArgv(const char* tool, int argc, char* const argv[])
{
    const char* file = getenv("LUSTRE_SIM_ARGV_LOG");
    if (!file || !*file) return;
    const common::UniqueFd fd(open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.Valid()) return;
    const std::string line = ArgvLogLine(tool, argc, argv);
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = write(fd.Get(), line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

}  // namespace sim
