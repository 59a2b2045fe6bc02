#include "FidText.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>

namespace sim::lib {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// One field: 0x-hex, 0-octal or decimal, no sign. Advances p.
// Returns 0, -EINVAL (no digits) or -ERANGE (above 64 bits).
int ParseField(const char*& p, const char* end, unsigned long long& value)
{
    int base = 10;
    if (end - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (end - p >= 1 && p[0] == '0') {
        base = 8;  // "0" alone parses as octal zero
    }
    auto [next, ec] = std::from_chars(p, end, value, base);
    if (ec == std::errc::result_out_of_range) return -ERANGE;
    if (ec != std::errc() || next == p) return -EINVAL;
    p = next;
    return 0;
}

}  // namespace

int ParseFid(const char* text, lu_fid& fid)
{
    if (!text) return -EINVAL;
    const char* p = text;
    const char* end = text + strlen(text);
    while (p < end && IsBlank(*p)) ++p;
    bool bracket = false;
    while (p < end && *p == '[') {
        bracket = true;
        ++p;
    }
    unsigned long long field[3];
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (p == end || *p != ':') return -EINVAL;
            ++p;
        }
        int rc = ParseField(p, end, field[i]);
        if (rc < 0) return rc;
    }
    if (bracket && p < end && *p == ']') ++p;
    if (p != end) return -EINVAL;
    if (field[0] == std::numeric_limits<unsigned long long>::max() || field[1] > 0xffffffffULL ||
        field[2] > 0xffffffffULL)
        return -ERANGE;
    fid.f_seq = field[0];
    fid.f_oid = static_cast<unsigned>(field[1]);
    fid.f_ver = static_cast<unsigned>(field[2]);
    return 0;
}

std::string FormatFid(const lu_fid& fid)
{
    char buf[64];
    snprintf(buf, sizeof buf, "[0x%llx:0x%x:0x%x]", fid.f_seq, fid.f_oid, fid.f_ver);
    return buf;
}

bool FidIsSane(const lu_fid& f)
{
    return (f.f_seq >= kSeqStart && f.f_ver == 0) || FidIsIgif(f) || FidIsIdif(f) || (f.f_seq >= 1 && f.f_seq <= 11);
}

bool FidInNamespace(const lu_fid& f)
{
    if (!FidIsSane(f)) return false;
    return (FidIsNorm(f) && f.f_ver == 0) || FidIsIgif(f) || FidIsRoot(f) || f.f_seq == kSeqDotLustre;
}

}  // namespace sim::lib
