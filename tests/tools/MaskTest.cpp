// changelog_register masks through each generation of the MDT's parser.
#include <gtest/gtest.h>

#include "ChangelogMask.h"
#include "ChangelogText.h"

namespace {

TEST(ChangelogMask, EachParserGeneration)
{
    const uint32_t def = sim::DefaultChangelogMask(), all = sim::AllChangelogMask();
    const uint32_t mark = 1, creat = 1u << 1, unlnk = 1u << 6, atime = 1u << 19;
    const uint32_t untouched = 0xdead;
    struct Row {
        const char* version;
        const char* text;
        uint32_t mask;  // untouched: refused
    };
    const Row rows[] = {
        {"2.15", "creat,unlnk", mark | creat | unlnk},
        {"2.16", "creat+UNLNK", mark | creat | unlnk},
        {"2.17", " Creat \t unlnk ", mark | creat | unlnk},
        {"2.15", "+atime", def | atime},
        // The operator carries over to the next names only in 2.15.
        {"2.15", "-creat,unlnk", def & ~creat & ~unlnk},
        {"2.15", "-creat unlnk", def & ~creat & ~unlnk},
        {"2.16", "-creat,unlnk", def & ~creat},
        {"2.17", "-creat unlnk", def & ~creat},
        {"2.16", "-creat-unlnk", def & ~creat & ~unlnk},
        {"2.15", "", mark},
        {"2.16", "", mark},
        {"2.17", "", def},
        {"2.15", "ALL", all},
        {"2.15", "-ALL", mark},
        {"2.17", "NONE", untouched},
        {"2.17.54", "NONE", mark},
        // DEFAULT only from 2.15.3, and only as the last name.
        {"2.15.2", "atime,DEFAULT", untouched},
        {"2.15.3", "atime,default", def},
        {"2.15", "+atime DEFAULT", def | atime},
        {"2.16", "DEFAULT,atime", untouched},
        {"2.15", "creat+", untouched},
        {"2.15", "creat,+-unlnk", untouched},
        {"2.15", "creat,bogus", untouched},
    };
    for (const auto& row : rows) {
        sim::LustreVersion version;
        ASSERT_TRUE(sim::LustreVersion::Parse(row.version, version));
        uint32_t mask = untouched;
        EXPECT_EQ(sim::ParseChangelogMask(version, row.text, mask), row.mask != untouched)
            << row.version << " '" << row.text << "'";
        EXPECT_EQ(mask, row.mask) << row.version << " '" << row.text << "'";
    }
}

}  // namespace
