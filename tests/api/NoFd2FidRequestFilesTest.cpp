// Many-file requests without llapi_fd2fid: nothing opened or sent, each
// file refused.
#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

TEST(NoFd2Fid, ManyFileRequestsRefuseEveryFile)
{
    ASSERT_LT(LustreAPI::LoadFunctions().GetCode(), 0);
    EXPECT_EQ(LustreAPI::GetBoundEntryPoints().size(), 14u);
    apitest::SimState state;
    const std::string file = state.WriteFile("f", "data");
    const int fds = apitest::OpenFdCount();
    std::vector<int> results;
    const CKxError error = LustreAPI::HSMRequestFiles({file, file}, HUA_ARCHIVE, 0, "", results);
    EXPECT_EQ(apitest::OpenFdCount(), fds);
    EXPECT_EQ(error.GetSystemError(), 22);
    EXPECT_EQ(error.GetMessages().back(), "llapi_fd2fid is not loaded");
    EXPECT_EQ(results, (std::vector<int>{-22, -22}));
}
