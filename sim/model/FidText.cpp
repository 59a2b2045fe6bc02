#include "FidText.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace sim::lib {

int ParseFid(const char* text, lu_fid* fid, char** endptr)
{
    using Ull = unsigned long long;
    const char* p = text;
    int rc = 0;
    auto finish = [&](int result) {
        if (endptr) *endptr = const_cast<char*>(p);
        return result;
    };
    if (!text || !fid) return finish(-EINVAL);
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    bool bracket = false;
    while (*p == '[') {
        ++p;
        bracket = true;
    }
    // Each field as strtoull reads it in base 0, stored as soon as it is
    // read; a field too wide is skipped whole and reported at the end.
    const Ull limit[3] = {std::numeric_limits<Ull>::max() - 1, std::numeric_limits<unsigned>::max(),
                          std::numeric_limits<unsigned>::max()};
    for (int i = 0; i < 3; ++i) {
        if (i > 0 && *p != ':') return finish(-EINVAL);
        if (i > 0) ++p;
        char* end;
        const Ull value = strtoull(p, &end, 0);
        p = end;
        if (value > limit[i])
            rc = -ERANGE;
        else if (i == 0)
            fid->f_seq = value;
        else
            (i == 1 ? fid->f_oid : fid->f_ver) = static_cast<unsigned>(value);
    }
    if (bracket && *p == ']') ++p;
    return finish(rc);
}

std::string FormatFid(const lu_fid& fid)
{
    char buf[64];
    snprintf(buf, sizeof buf, DFID, PFID(&fid));
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
