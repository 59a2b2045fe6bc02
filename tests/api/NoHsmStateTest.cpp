// A liblustreapi without llapi_hsm_state_get, _state_set and
// _current_action, as before Lustre had them: the fifteen bind as always,
// the three refuse.
#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

TEST(NoHsmState, TheFifteenBindAndTheStateCallsRefuse)
{
    apitest::CapturingLogWriter log;
    const CKxError error = LustreAPI::LoadFunctions();
    EXPECT_EQ(error.GetCode(), 0) << error.ToString();
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"Lustre library loaded"});
    const std::vector<std::string> bound = LustreAPI::GetBoundEntryPoints();
    ASSERT_EQ(bound.size(), 15u);
    EXPECT_EQ(bound.back(), "llapi_fd2fid");

    apitest::SimState state;
    const std::string file = state.WriteFile("f", "data");
    std::string message = "old";
    hsm_user_state hus{};
    hus.hus_states = 77;
    EXPECT_EQ(LustreAPI::HSMStateGet(file.c_str(), &hus, message), -22);
    EXPECT_EQ(message, "llapi_hsm_state_get is not loaded");
    EXPECT_EQ(hus.hus_states, 77u);
    EXPECT_EQ(LustreAPI::HSMStateSet(file.c_str(), HS_NORELEASE, 0, 0, message), -22);
    EXPECT_EQ(message, "llapi_hsm_state_set is not loaded");
    hsm_current_action hca{};
    EXPECT_EQ(LustreAPI::HSMCurrentAction(file.c_str(), &hca, message), -22);
    EXPECT_EQ(message, "llapi_hsm_current_action is not loaded");

    std::vector<int> results;
    EXPECT_FALSE(LustreAPI::HSMRequestFiles({file}, HUA_ARCHIVE, 0, "", results).Failed());
    EXPECT_EQ(results, std::vector<int>{0});
}
