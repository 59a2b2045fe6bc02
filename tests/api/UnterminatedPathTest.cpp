// GetPathFromFID against a liblustreapi whose llapi_fid2path can fill the
// whole buffer without a terminating NUL, and that writes the record and
// link numbers (see FakeLustre.cpp).
#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

class FakeLustreTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(LustreAPI::LoadFunctions().GetCode(), 0); }

    static LustreAPI::CLustreFID Fid(unsigned long long seq, unsigned int oid)
    {
        LustreAPI::CLustreFID fid;
        fid.m_seq = seq;
        fid.m_oid = oid;
        return fid;
    }
};

TEST_F(FakeLustreTest, FullBufferWithoutTerminatorIsReadUpToItsLength)
{
    LustreAPI::CLustreFID fid = Fid(1, 1);
    std::string path;
    int linkNo = 0;
    long long recNo = 0;
    ASSERT_GE(LustreAPI::GetPathFromFID("/mnt/fs", fid, path, linkNo, recNo).GetCode(), 0);
    // Exactly the 1024 bytes that fit, joined to the mount point; under the
    // address sanitizer a read past the buffer would stop the test.
    ASSERT_EQ(path.size(), std::string("/mnt/fs/").size() + 1024);
    EXPECT_EQ(path.compare(0, 8, "/mnt/fs/"), 0);
    for (size_t i = 0; i < 1024; ++i) ASSERT_EQ(path[8 + i], static_cast<char>('a' + i % 26)) << i;
}

TEST_F(FakeLustreTest, RecordAndLinkNumbersReachTheCaller)
{
    LustreAPI::CLustreFID fid = Fid(0x200, 0x1c);
    std::string path = "old";
    int linkNo = 0;
    long long recNo = 0;
    ASSERT_GE(LustreAPI::GetPathFromFID("/mnt/fs/", fid, path, linkNo, recNo).GetCode(), 0);
    EXPECT_EQ(path, "/mnt/fs/dir/file");
    EXPECT_EQ(recNo, 41);
    EXPECT_EQ(linkNo, 7);

    // On failure too: the call had them by address, and the path stays.
    fid = Fid(2, 2);
    path = "old";
    linkNo = 10;
    recNo = 20;
    const CKxError error = LustreAPI::GetPathFromFID("/mnt/fs", fid, path, linkNo, recNo);
    ASSERT_LT(error.GetCode(), 0);
    EXPECT_EQ(error.GetSystemError(), 2);
    EXPECT_EQ(error.GetMessages(), std::vector<std::string>{"Cannot convert FID to Path for [0x2:0x2:0x0] due to "});
    EXPECT_EQ(path, "old");
    EXPECT_EQ(linkNo, 11);
    EXPECT_EQ(recNo, 21);
}

TEST_F(FakeLustreTest, FailedPath2FidHandsBackTheRecordButGetFidFromPathDoesNot)
{
    lu_fid fid{9, 9, 9};
    std::string message = "earlier";
    EXPECT_EQ(LustreAPI::Path2FID("/mnt/fs/file", fid, message), -2);
    EXPECT_EQ(message, "Cannot convert Path to FID for /mnt/fs/file");
    EXPECT_EQ(fid.f_seq, 2u);
    EXPECT_EQ(fid.f_oid, 2u);

    LustreAPI::CLustreFID kept = Fid(9, 9);
    const CKxError error = LustreAPI::GetFIDFromPath("/mnt/fs/file", kept);
    ASSERT_LT(error.GetCode(), 0);
    EXPECT_EQ(error.GetSystemError(), 2);
    EXPECT_EQ(error.GetMessages(), std::vector<std::string>{"Cannot convert Path to FID for /mnt/fs/file"});
    EXPECT_EQ(kept.m_seq, 9u);
    EXPECT_EQ(kept.m_oid, 9u);
}

}  // namespace
