// The FID conversions against a liblustreapi whose llapi_fid2path can fill
// the whole buffer without a terminating NUL, that writes the record and
// link numbers, and whose failed llapi_path2fid leaves a record behind; and
// the state of many files, where a failed llapi_hsm_state_get leaves one
// behind (see FakeLustre.cpp).
#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

TEST(FakeLustre, PathFromFidReadsTheBufferUpToItsLengthAndHandsBackTheNumbers)
{
    ASSERT_GE(LustreAPI::LoadFunctions().GetCode(), 0);
    std::string letters;
    for (size_t i = 0; i < 1024; ++i) letters += static_cast<char>('a' + i % 26);
    struct Case {
        const char *fid, *mount;
        std::string outcome;  // system error, messages, path, link and record numbers
    } const cases[] = {
        // Exactly the 1024 bytes that fit (under ASan a read past the buffer stops the test).
        {"[0x1:0x1:0x0]", "/mnt/fs", "0 /mnt/fs/" + letters + " link 10 record 20"},
        {"[0x200:0x1c:0x0]", "/mnt/fs/", "0 /mnt/fs/dir/file link 7 record 41"},
        // On failure too: the call had them by address; the path stays.
        {"[0x2:0x2:0x0]", "/mnt/fs", "2 Cannot convert FID to Path for [0x2:0x2:0x0] due to  old link 11 record 21"},
    };
    for (const Case& c : cases) {
        std::string path = "old";
        int linkNo = 10;
        long long recNo = 20;
        LustreAPI::CLustreFID fid{std::string(c.fid)};
        const CKxError error = LustreAPI::GetPathFromFID(c.mount, fid, path, linkNo, recNo);
        std::string outcome = std::to_string(error.GetSystemError()) + " ";
        for (const std::string& message : error.GetMessages()) outcome += message + " ";
        EXPECT_EQ(outcome + path + " link " + std::to_string(linkNo) + " record " + std::to_string(recNo), c.outcome);
    }
}

TEST(FakeLustre, FailedPath2FidHandsBackTheRecordButGetFidFromPathDoesNot)
{
    ASSERT_GE(LustreAPI::LoadFunctions().GetCode(), 0);
    lu_fid fid{9, 9, 9};
    std::string message = "earlier";
    EXPECT_EQ(LustreAPI::Path2FID("/mnt/fs/file", fid, message), -2);
    EXPECT_EQ(message, "Cannot convert Path to FID for /mnt/fs/file");
    EXPECT_EQ(fid.f_seq + fid.f_oid, 4u);

    LustreAPI::CLustreFID kept{std::string("[0x9:0x9:0x0]")};
    const CKxError error = LustreAPI::GetFIDFromPath("/mnt/fs/file", kept);
    EXPECT_EQ(error.GetSystemError(), 2);
    EXPECT_EQ(error.GetMessages(),
              std::vector<std::string>{"Cannot convert Path to FID for /mnt/fs/file: llapi_path2fid failed with "
                                       "Error No such file or directory (2)"});
    EXPECT_EQ(kept.m_seq + kept.m_oid, 18u);
}

TEST(FakeLustre, FailedStateQueryLeavesTheStateZero)
{
    ASSERT_GE(LustreAPI::LoadFunctions().GetCode(), 0);
    std::vector<hsm_user_state> states;
    std::vector<int> results;
    const CKxError error = LustreAPI::HSMStateGetFiles({"/mnt/fs/a", "/mnt/fs/fails"}, states, results);
    EXPECT_EQ(error.GetSystemError(), EIO);
    EXPECT_EQ(results, (std::vector<int>{0, -EIO}));
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0].hus_states, unsigned{HS_EXISTS | HS_ARCHIVED});
    EXPECT_EQ(states[0].hus_archive_id, 1u);
    EXPECT_EQ(states[1].hus_states, 0u);
    EXPECT_EQ(states[1].hus_archive_id, 0u);
}

}  // namespace
