// The Lustre release the stand-in tools imitate, and the behaviours that
// depend on it. The config's "version" line names a release ("2.12",
// "2.15.3"); every 2.x maps onto the rule set of its minor number.
#pragma once
#include <string>

namespace sim {

struct LustreVersion {
    int major = 2;
    int minor = 15;

    // "2.N" or "2.N.P..." (further numeric parts are accepted and ignored).
    // Only major version 2 is known.
    [[nodiscard]] static bool Parse(const std::string& text, LustreVersion& version);

    bool AtLeast(int minorVersion) const { return minor >= minorVersion; }

    // changelog_users text: "current index:" with "cl%-3d" users up to 2.14,
    // plus the "(idle seconds)" column from 2.11; "current_index:" with the
    // 24/10-wide columns, named users and masks from 2.15.
    bool NamedUsers() const { return AtLeast(15); }
    bool IdleColumn() const { return AtLeast(11); }
    // changelog records carry ef=/u=/nid= from 2.11.
    bool ExtraFlags() const { return AtLeast(11); }
    // lfs changelog prints a record's nanoseconds with "%09d" from 2.10,
    // "%06d" before.
    bool NineDigitNanoseconds() const { return AtLeast(10); }
    // Help text of a usage error goes to stdout from 2.16, stderr before.
    bool HelpOnStdout() const { return AtLeast(16); }
    // lfs changelog rejects bad record numbers from 2.17 (strtoll before).
    bool StrictRecordNumbers() const { return AtLeast(17); }
};

}  // namespace sim
