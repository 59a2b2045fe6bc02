// Path to FID and back through the stand-in, on real files.
#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

using PathFidTest = apitest::BoundTest;

std::string Text(const LustreAPI::CLustreFID& fid)
{
    char text[64];
    std::snprintf(text, sizeof text, "[0x%llx:0x%x:0x%x]", fid.m_seq, fid.m_oid, fid.m_ver);
    return text;
}

TEST_F(PathFidTest, PathToFidToTextAndBackGivesTheOriginalPath)
{
    const std::string file = state.WriteFile("file", "1");
    const std::string nested = state.WriteFile("a/b/c/nested file", "2");
    struct Case {
        std::string path, mountPoint, expected;
    };
    const Case cases[] = {
        {file, state.mount, file},
        {nested, state.mount + "/", nested},
        // The root comes back from Lustre as "/", joined to the mount point.
        {state.mount, state.mount, state.mount + "/"},
        {state.mount, state.mount + "/", state.mount + "/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " on " + c.mountPoint);
        LustreAPI::CLustreFID fid;
        const CKxError got = LustreAPI::GetFIDFromPath(c.path, fid);
        ASSERT_GE(got.GetCode(), 0) << got.ToString();
        if (c.path == state.mount) {
            EXPECT_EQ(Text(fid), "[0x200000007:0x1:0x0]");  // Lustre's root FID
        }

        // Through the text form, as a host stores it.
        LustreAPI::CLustreFID parsed(Text(fid));
        std::string path = "previous";
        int linkNo = 0;
        long long recNo = 0;
        const CKxError back = LustreAPI::GetPathFromFID(c.mountPoint, parsed, path, linkNo, recNo);
        ASSERT_GE(back.GetCode(), 0) << back.ToString();
        EXPECT_EQ(path, c.expected);
        const lustre_sim_args args = sim.Args("llapi_fid2path");
        EXPECT_EQ(args.int0, 1024);
        EXPECT_EQ(args.ptr1, &recNo);  // record number before link number
        EXPECT_EQ(args.ptr2, &linkNo);
    }
}

TEST_F(PathFidTest, FailuresCarryTheirTextsAndLeaveOutputs)
{
    lu_fid fid{1, 2, 3};
    std::string message = "kept on success";
    EXPECT_EQ(LustreAPI::Path2FID(state.WriteFile("f", ""), fid, message), 0);
    EXPECT_EQ(message, "kept on success");
    const std::string missing = state.mount + "/missing";
    EXPECT_EQ(LustreAPI::Path2FID(missing, fid, message), -ENOENT);
    EXPECT_EQ(message, "Cannot convert Path to FID for " + missing);

    // A FID the file system does not know: Lustre's message stays empty.
    LustreAPI::CLustreFID unknown{std::string("[0x200000400:0xfffff:0x0]")};
    std::string path = "previous";
    int linkNo = 0;
    long long recNo = 0;
    const CKxError error = LustreAPI::GetPathFromFID(state.mount, unknown, path, linkNo, recNo);
    EXPECT_EQ(error.GetSystemError(), 2);
    EXPECT_EQ(error.GetMessages(),
              std::vector<std::string>{"Cannot convert FID to Path for [0x200000400:0xfffff:0x0] due to "});
    EXPECT_EQ(path, "previous");
}

}  // namespace
