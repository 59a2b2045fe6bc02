#include "ChangelogText.h"

#include <charconv>
#include <cstdarg>
#include <cstdio>

namespace sim {
namespace {

constexpr int kOpen = 10, kAtime = 19, kGxatr = 23, kNopen = 24;

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...)
{
    char buf[256];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, n);
    std::string out(n + 1, '\0');
    va_start(args, format);
    vsnprintf(out.data(), out.size(), format, args);
    va_end(args);
    out.resize(n);
    return out;
}

std::string UserName(const ChangelogUser& u)
{
    return "cl" + std::to_string(u.id) + (u.name.empty() ? "" : "-" + u.name);
}

}  // namespace

int ChangelogTypeFromText(const std::string& text)
{
    if (const int t = common::ChangelogTypeOfName(text); t >= 0) return t;
    int number = -1;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (ec == std::errc() && ptr == text.data() + text.size() && !text.empty() && number >= 0 &&
        number < kChangelogTypeCount)
        return number;
    return -1;
}

uint32_t DefaultChangelogMask()
{
    uint32_t all = (1u << kChangelogTypeCount) - 1;
    return all & ~((1u << kAtime) | (1u << kOpen) | (1u << kGxatr) | (1u << kNopen));
}

std::string FormatChangelogMask(uint32_t mask)
{
    std::string out;
    for (int t = 0; t < kChangelogTypeCount; ++t) {
        if (!(mask & (1u << t))) continue;
        if (!out.empty()) out += ',';
        out += ChangelogTypeName(t);
    }
    return out;
}

std::string FormatChangelogUsers(const LustreVersion& server, const MdtChangelog& log, int64_t now)
{
    const unsigned long long index = log.index;
    std::string out;
    if (server.NamedUsers()) {
        out = Printf("current_index: %llu\n", index);
        out += Printf("%-24s %10s %s %s\n", "ID", "index", "(idle)", "mask");
        for (const auto& u : log.users) {
            const int64_t idle = now > u.clearTime ? now - u.clearTime : 0;
            out += Printf("%-24s %10llu (%u)", UserName(u).c_str(), static_cast<unsigned long long>(u.endrec),
                          static_cast<unsigned>(idle));
            if (u.extended && u.mask != 0) out += " mask=" + FormatChangelogMask(u.mask);
            out += "\n";
        }
        return out;
    }
    out = Printf("current index: %llu\n", index);
    if (server.IdleColumn())
        out += Printf("%-5s %s %s\n", "ID", "index", "(idle seconds)");
    else
        out += Printf("%-5s %s\n", "ID", "index");
    for (const auto& u : log.users) {
        const int64_t idle = now > u.clearTime ? now - u.clearTime : 0;
        if (server.IdleColumn())
            out += Printf("cl%-3d %llu (%u)\n", u.id, static_cast<unsigned long long>(u.endrec),
                          static_cast<unsigned>(idle));
        else
            out += Printf("cl%-3d %llu\n", u.id, static_cast<unsigned long long>(u.endrec));
    }
    return out;
}

}  // namespace sim
