#include "LustreVersion.h"

#include <charconv>

namespace sim {

bool LustreVersion::Parse(const std::string& text, LustreVersion& version)
{
    const char* p = text.data();
    const char* end = p + text.size();
    int parts[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        auto [next, ec] = std::from_chars(p, end, parts[i]);
        if (ec != std::errc() || next == p) return false;
        p = next;
        if (i == 0) {
            if (p == end || *p != '.') return false;
            ++p;
        }
    }
    // Anything after the minor number must be ".<digits>" groups; the
    // first of them is the patch level.
    int patch = kBranchTip;
    while (p != end) {
        if (*p != '.' || p + 1 == end) return false;
        ++p;
        const char* start = p;
        while (p != end && *p >= '0' && *p <= '9') ++p;
        if (p == start) return false;
        if (patch == kBranchTip) {
            auto [next, ec] = std::from_chars(start, p, patch);
            if (ec != std::errc() || next != p) patch = kPatchUnknown;
        }
    }
    if (parts[0] != 2 || parts[1] < 0) return false;
    version.major = parts[0];
    version.minor = parts[1];
    version.patch = patch;
    return true;
}

std::string LustreVersion::ReleaseName() const
{
    std::string name = std::to_string(major) + "." + std::to_string(minor);
    if (patch == kBranchTip && minor == 15) return name + ".8";
    if (patch != kBranchTip && patch != kPatchUnknown) name += "." + std::to_string(patch);
    return name;
}

bool LustreVersion::AtLeast(int minorVersion, int patchLevel) const
{
    if (minor != minorVersion) return minor > minorVersion;
    // A branch without a patch level is its latest maintenance release:
    // every fix below the development numbers (50 and up) is in it.
    if (patch == kBranchTip) return patchLevel < kDevelopmentPatch;
    return patch >= patchLevel;
}

LustreVersion VersionOf(const std::string& versionLine)
{
    LustreVersion version;
    if (!LustreVersion::Parse(versionLine, version)) version = LustreVersion();
    return version;
}

}  // namespace sim
