// The changelog record types by number, with the short names lfs prints and
// masks are written in ("MARK", "CREAT", ...), as Lustre numbers them (enum
// changelog_rec_type); Lustre only ever appends types. Header-only, shared by
// the library and the stand-in as NidText.h is.
#pragma once
#include <cstddef>
#include <string_view>

namespace common {

inline constexpr const char* kChangelogTypeNames[] = {
    "MARK",  "CREAT", "MKDIR", "HLINK", "SLINK", "MKNOD", "UNLNK", "RMDIR", "RENME",  "RNMTO", "OPEN",  "CLOSE", "LYOUT",
    "TRUNC", "SATTR", "XATTR", "HSM",   "MTIME", "CTIME", "ATIME", "MIGRT", "FLRW",   "RESYNC", "GXATR", "NOPEN"};
inline constexpr int kChangelogTypeCount = static_cast<int>(std::size(kChangelogTypeNames));

// The name of type; null outside the table.
inline const char* ChangelogTypeName(int type)
{
    return type >= 0 && type < kChangelogTypeCount ? kChangelogTypeNames[type] : nullptr;
}

// The type named name in any case; -1 when none is.
inline int ChangelogTypeOfName(std::string_view name)
{
    for (int t = 0; t < kChangelogTypeCount; ++t) {
        const std::string_view known = kChangelogTypeNames[t];
        bool same = known.size() == name.size();
        for (std::size_t i = 0; same && i < name.size(); ++i) {
            const char c = name[i] >= 'a' && name[i] <= 'z' ? static_cast<char>(name[i] - 'a' + 'A') : name[i];
            same = c == known[i];
        }
        if (same) return t;
    }
    return -1;
}

}  // namespace common
