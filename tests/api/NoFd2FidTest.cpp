// A liblustreapi without only llapi_fd2fid: slots 0 to 13 bound, slot 14
// null, the flag stays false.
#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

TEST(NoFd2Fid, RequestsRefuseWhileLookUpsWork)
{
    apitest::CapturingLogWriter log;
    const CKxError error = LustreAPI::LoadFunctions();
    ASSERT_LT(error.GetCode(), 0);
    EXPECT_EQ(error.GetMessages().back(), "GetAddres(llapi_fd2fid) failed");
    EXPECT_TRUE(log.lines.empty());

    apitest::SimState state;
    const std::string file = state.WriteFile("dir/f", "data");
    const int fdsBefore = apitest::OpenFdCount();
    std::string message;
    EXPECT_EQ(LustreAPI::HSMRequest(file.c_str(), HUA_ARCHIVE, nullptr, message), -22);
    EXPECT_EQ(message, "llapi_fd2fid is not loaded");
    EXPECT_EQ(apitest::OpenFdCount(), fdsBefore);

    char fsname[16] = "";
    EXPECT_EQ(LustreAPI::SearchFsName(file.c_str(), fsname, message), 0);
    EXPECT_STREQ(fsname, "lustre");
    LustreAPI::CLustreFID fid;
    EXPECT_EQ(LustreAPI::GetFIDFromPath(file, fid).GetCode(), 0);
    EXPECT_NE(fid.m_seq, 0u);

    // Not bound yet: a new call tries again and fails the same way.
    EXPECT_EQ(LustreAPI::LoadFunctions().GetMessages().back(), "GetAddres(llapi_fd2fid) failed");
    EXPECT_EQ(apitest::LoadedNames().size(), 2u);
}
