#include "ChangelogText.h"

#include <strings.h>

#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace sim {
namespace {

const char* const kTypeNames[kChangelogTypeCount] = {"MARK",  "CREAT",  "MKDIR", "HLINK", "SLINK", "MKNOD", "UNLNK",
                                                     "RMDIR", "RENME",  "RNMTO", "OPEN",  "CLOSE", "LYOUT", "TRUNC",
                                                     "SATTR", "XATTR",  "HSM",   "MTIME", "CTIME", "ATIME", "MIGRT",
                                                     "FLRW",  "RESYNC", "GXATR", "NOPEN"};

constexpr int kOpen = 10, kAtime = 19, kGxatr = 23, kNopen = 24;

// Extra-flag bits of a record (CLFE_*).
constexpr uint64_t kExtraUidGid = 0x1, kExtraNid = 0x2, kExtraOpen = 0x4, kExtraXattr = 0x8, kExtraAll = 0xf;

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

const char* ChangelogTypeName(int type) { return type >= 0 && type < kChangelogTypeCount ? kTypeNames[type] : nullptr; }

int ChangelogTypeFromText(const std::string& text)
{
    for (int t = 0; t < kChangelogTypeCount; ++t)
        if (strcasecmp(text.c_str(), kTypeNames[t]) == 0) return t;
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
        out += kTypeNames[t];
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

std::string FormatChangelogRecord(const LustreVersion& client, const ChangelogRecord& r)
{
    const time_t secs = static_cast<time_t>(r.sec);
    struct tm tm {};
    gmtime_r(&secs, &tm);
    const char* typeName = ChangelogTypeName(r.type);
    // The nanoseconds as a number of at least 6 digits before 2.10, 9 from then on.
    std::string out = Printf(
        "%llu %02d%-5s %02d:%02d:%02d.%0*d %04d.%02d.%02d 0x%x t=", static_cast<unsigned long long>(r.index), r.type,
        typeName ? typeName : "", tm.tm_hour, tm.tm_min, tm.tm_sec, client.NineDigitNanoseconds() ? 9 : 6,
        static_cast<int>(r.nsec), tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, r.flags & 0x0fffu);
    out += FormatFid(r.tfid);
    if (!r.jobid.empty()) out += " j=" + r.jobid;
    if (client.ExtraFlags()) {
        // lfs asks for every extra field, and liblustreapi hands each record
        // over with all four, the ones it lacks zero: ef= ORs them in, and
        // u= and nid= are always printed.
        const uint64_t have = r.hasExtra ? r.extraFlags : 0;
        out += Printf(" ef=0x%llx", static_cast<unsigned long long>(have | kExtraAll));
        out += (have & kExtraUidGid) ? Printf(" u=%u:%u", r.uid, r.gid) : std::string(" u=0:0");
        out += " nid=" + ((have & kExtraNid) ? r.nid : std::string("0@<0:0>"));
        if ((have & kExtraOpen) && !r.openMode.empty() && r.openMode != "---") out += " m=" + r.openMode;
        if ((have & kExtraXattr) && !r.xattr.empty()) out += " x=" + r.xattr;
        if (!r.pfid.IsZero()) out += " p=" + FormatFid(r.pfid);
        if (!r.name.empty()) out += " " + r.name;
    } else if (!r.name.empty()) {
        out += " p=" + FormatFid(r.pfid) + " " + r.name;
    }
    if (r.rename && !r.sfid.IsZero()) out += " s=" + FormatFid(r.sfid) + " sp=" + FormatFid(r.spfid) + " " + r.sname;
    return out + "\n";
}

}  // namespace sim
