// The Lustre release the stand-in tools imitate, and the behaviours that
// depend on it. The config's "version" line names a release ("2.12",
// "2.15.3"); every 2.x maps onto the rule set of its minor number, refined
// by the patch level where a behaviour came with a maintenance release or
// with the development builds after a release (patch 50 and up).
#pragma once
#include <string>

namespace sim {

struct LustreVersion {
    // A patch level the version line left out: the branch's latest
    // maintenance release.
    static constexpr int kBranchTip = -1;
    // A patch level too large to read: later than any named one.
    static constexpr int kPatchUnknown = 1 << 30;
    // Patch levels from 50 up are development tags of the next release.
    static constexpr int kDevelopmentPatch = 50;

    int major = 2;
    int minor = 15;
    int patch = kBranchTip;

    // "2.N" or "2.N.P..." (P is the patch level; further numeric parts are
    // accepted and ignored). Only major version 2 is known.
    [[nodiscard]] static bool Parse(const std::string& text, LustreVersion& version);

    bool AtLeast(int minorVersion) const { return minor >= minorVersion; }
    // What --version prints: "2.15.8" for 2.15 (its latest maintenance
    // release), "2.N.P" for a named patch level, "2.N" otherwise.
    std::string ReleaseName() const;
    // 2.<minorVersion>.<patchLevel> or later.
    bool AtLeast(int minorVersion, int patchLevel) const;

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
    // lfs changelog refuses negative and overflowing record numbers from
    // 2.15 (garbage still reads as 0).
    bool CheckedRecordNumbers() const { return AtLeast(15); }
    // lfs changelog usage names --follow, --user and --mask (2.17.53).
    bool ChangelogUserOptions() const { return AtLeast(17, 53); }

    // changelog_register -m: which of the MDT's mask parsers reads the mask.
    // 2.16 applies an operator to one name (2.15 to every name up to the
    // next operator); 2.17 reads an empty mask as the default one; DEFAULT
    // is known from 2.15.3 and NONE from 2.17.54.
    bool MaskOperatorPerName() const { return AtLeast(16); }
    bool EmptyMaskIsDefault() const { return AtLeast(17); }
    bool MaskKeywordDefault() const { return AtLeast(15, 3); }
    bool MaskKeywordNone() const { return AtLeast(17, 54); }

    // HSM flags (HSM_FLAGS_MASK): 0x7f, and the PCC bits 0x80 and 0x100
    // from 2.16.
    unsigned long long HsmFlagsMask() const { return AtLeast(16) ? 0x1ff : 0x7f; }
    // llapi_hsm_current_action of a file without a request: a waiting NOOP
    // before 2.12, HPS_NONE from then on.
    bool IdleActionWaits() const { return !AtLeast(12); }
    // Archive ids were bits of a 32-bit mask before 2.12: at most 32.
    bool ArchiveIdsAsMask() const { return !AtLeast(12); }
};

// The version a config names; 2.15's rules when it names none this reads.
LustreVersion VersionOf(const std::string& versionLine);

}  // namespace sim
