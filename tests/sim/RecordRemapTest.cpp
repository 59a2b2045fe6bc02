// changelog_remap_rec against the layout Lustre's library hands a reader:
// for every layout a record can be stored in and every layout a reader can
// ask for, the parts in Lustre's order (rename, job id, extra flags,
// uid/gid, NID, open mode, xattr, then the name), each one kept when the
// stored record had it and zero when it did not, and the extra-flags word
// holding the stored flags with the wanted ones.
#include <gtest/gtest.h>
#include <linux/lustre/lustre_user.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Part {
    unsigned crf, cref;  // the flag that adds the part
    size_t size;
};

// Lustre's order of the parts after the fixed record.
const Part kParts[] = {{CLF_RENAME, 0, sizeof(changelog_ext_rename)},
                       {CLF_JOBID, 0, sizeof(changelog_ext_jobid)},
                       {CLF_EXTRA_FLAGS, 0, sizeof(changelog_ext_extra_flags)},
                       {CLF_EXTRA_FLAGS, CLFE_UIDGID, sizeof(changelog_ext_uidgid)},
                       {CLF_EXTRA_FLAGS, CLFE_NID, sizeof(changelog_ext_nid)},
                       {CLF_EXTRA_FLAGS, CLFE_OPEN, sizeof(changelog_ext_openmode)},
                       {CLF_EXTRA_FLAGS, CLFE_XATTR, sizeof(changelog_ext_xattr)}};

bool Has(const Part& p, unsigned crf, unsigned cref) { return (crf & p.crf) && (p.cref == 0 || (cref & p.cref)); }

// A record of the given layout, each part filled with its own byte (the
// extra-flags word holds cref), and a rename's two names.
std::vector<char> Stored(unsigned crf, unsigned cref, const std::string& name)
{
    std::vector<char> buf(CR_MAXSIZE, '\x7f');
    auto* rec = reinterpret_cast<changelog_rec*>(buf.data());
    std::memset(rec, 0, sizeof *rec);
    rec->cr_type = CL_RENAME;
    rec->cr_index = 42;
    rec->cr_flags = static_cast<__u16>(CLF_VERSION | crf | CLF_RENAME_LAST);
    rec->cr_namelen = static_cast<__u16>(name.size());
    size_t at = sizeof *rec;
    for (size_t i = 0; i < std::size(kParts); ++i) {
        if (!Has(kParts[i], crf, cref)) continue;
        std::memset(&buf[at], static_cast<int>('a' + i), kParts[i].size);
        if (i == 2) {
            const __u64 word = cref;
            std::memcpy(&buf[at], &word, sizeof word);
        }
        at += kParts[i].size;
    }
    std::memcpy(&buf[at], name.data(), name.size());
    return buf;
}

TEST(RecordRemap, EveryStoredLayoutToEveryWantedLayout)
{
    const std::string name("new\0old", 8);
    const unsigned crfs[] = {0, CLF_RENAME, CLF_JOBID, CLF_EXTRA_FLAGS, CLF_RENAME | CLF_JOBID,
                             CLF_RENAME | CLF_EXTRA_FLAGS, CLF_JOBID | CLF_EXTRA_FLAGS, CLF_SUPPORTED};
    for (unsigned crf : crfs)
        for (unsigned cref = 0; cref <= (crf & CLF_EXTRA_FLAGS ? unsigned{CLFE_SUPPORTED} : 0u); ++cref)
            for (unsigned want : crfs)
                for (unsigned xwant = 0; xwant <= CLFE_SUPPORTED; ++xwant) {
                    SCOPED_TRACE(testing::Message() << std::hex << "stored " << crf << "/" << cref << ", wanted "
                                                    << want << "/" << xwant);
                    std::vector<char> buf = Stored(crf, cref, name);
                    auto* rec = reinterpret_cast<changelog_rec*>(buf.data());
                    changelog_remap_rec(rec, static_cast<changelog_rec_flags>(CLF_VERSION | want),
                                        static_cast<enum changelog_rec_extra_flags>(xwant));
                    ASSERT_EQ(rec->cr_flags, CLF_VERSION | want | CLF_RENAME_LAST);
                    ASSERT_EQ(rec->cr_index, 42u);
                    size_t at = sizeof *rec;
                    for (size_t i = 0; i < std::size(kParts); ++i) {
                        if (!Has(kParts[i], want, xwant)) continue;
                        std::string expected(kParts[i].size, Has(kParts[i], crf, cref) ? char('a' + i) : '\0');
                        if (i == 2) {
                            const __u64 word = (crf & CLF_EXTRA_FLAGS ? cref : 0) | xwant;
                            expected.assign(reinterpret_cast<const char*>(&word), sizeof word);
                        }
                        ASSERT_EQ(std::string(&buf[at], kParts[i].size), expected) << "part " << i;
                        at += kParts[i].size;
                    }
                    ASSERT_EQ(std::string(&buf[at], name.size()), name);
                }
}

// A reader's layout is what it reads through the accessors when the record
// carried what it asked for: the names and the parts are found again.
TEST(RecordRemap, AccessorsReadTheRemappedRecord)
{
    std::vector<char> buf = Stored(CLF_SUPPORTED, CLFE_UIDGID | CLFE_NID, std::string("new\0old", 8));
    auto* rec = reinterpret_cast<changelog_rec*>(buf.data());
    changelog_remap_rec(rec, static_cast<changelog_rec_flags>(CLF_VERSION | CLF_RENAME | CLF_EXTRA_FLAGS),
                        static_cast<enum changelog_rec_extra_flags>(CLFE_UIDGID | CLFE_NID | CLFE_OPEN));
    EXPECT_EQ(changelog_rec_xflags(rec), CLFE_UIDGID | CLFE_NID | CLFE_OPEN);
    EXPECT_EQ(std::string(changelog_rec_name(rec)), "new");
    EXPECT_EQ(std::string(changelog_rec_sname(rec), changelog_rec_snamelen(rec)), "old");
    EXPECT_EQ(changelog_rec_openmode(rec)->cr_openflags, 0u);
    EXPECT_EQ(changelog_rec_uidgid(rec)->cr_uid, 0x6464646464646464u);  // the uid/gid part's bytes
}

}  // namespace
