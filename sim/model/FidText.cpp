#include "FidText.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
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

// llapi_fid_parse reads as liblustreapi does, leniently: each field with
// strtoull in base 0 (a sign, blanks after a ':' and an empty field pass),
// and text after the FID is left for the caller at *endptr.
extern "C" __attribute__((visibility("default"))) int llapi_fid_parse(const char* fidstr, lu_fid* fid, char** endptr)
{
    using Ull = unsigned long long;
    const char* p = fidstr;
    int rc = 0;
    auto finish = [&](int result) {
        if (endptr) *endptr = const_cast<char*>(p);
        errno = -result;
        return result;
    };
    if (!fidstr || !fid) return finish(-EINVAL);
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    bool bracket = false;
    while (*p == '[') {
        ++p;
        bracket = true;
    }
    char* end;
    const Ull seq = strtoull(p, &end, 0);
    if (seq == std::numeric_limits<Ull>::max())
        rc = -ERANGE;
    else
        fid->f_seq = seq;
    p = end;
    if (*p != ':') return finish(-EINVAL);
    const Ull oid = strtoull(++p, &end, 0);
    if (oid > std::numeric_limits<unsigned>::max())
        rc = -ERANGE;
    else
        fid->f_oid = static_cast<unsigned>(oid);
    p = end;
    if (*p != ':') return finish(-EINVAL);
    const Ull ver = strtoull(++p, &end, 0);
    if (ver > std::numeric_limits<unsigned>::max())
        rc = -ERANGE;
    else
        fid->f_ver = static_cast<unsigned>(ver);
    p = end;
    if (bracket && *p == ']') ++p;
    return finish(rc);
}
