// A liblustreapi without llapi_hsm_action_begin: binding stops at slot 3,
// slots 0 to 2 work, the rest refuse, and a later call tries again.
#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

TEST(NoActionBegin, PartlyBoundTableAndRetry)
{
    apitest::CapturingLogWriter log;
    for (int attempt = 1; attempt <= 2; ++attempt) {
        SCOPED_TRACE(attempt);
        EXPECT_TRUE(apitest::BindingFailed(LustreAPI::LoadFunctions(), "llapi_hsm_action_begin",
                                           "GetAddres(llapi_hsm_action_begin) failed"));
        // Each attempt loads afresh.
        EXPECT_EQ(apitest::LoadedNames().size(), static_cast<size_t>(attempt));
    }
    EXPECT_TRUE(log.lines.empty());

    apitest::SimControl sim = apitest::FindSimControl();
    ASSERT_TRUE(sim.Found());
    std::string message;
    // Slots 0 to 2 reach the library.
    sim.failNext("llapi_hsm_copytool_register", -95);
    EXPECT_EQ(LustreAPI::HSMRegister(nullptr, "/mnt", 0, nullptr, 0, message), -95);
    sim.failNext("llapi_hsm_copytool_unregister", -96);
    EXPECT_EQ(LustreAPI::HSMUnregister(nullptr, message), -96);
    sim.failNext("llapi_hsm_copytool_recv", -97);
    EXPECT_EQ(LustreAPI::HSMRecv(nullptr, nullptr, nullptr, message), -97);
    EXPECT_EQ(sim.callCount("llapi_hsm_copytool_recv"), 1);

    // Slot 3 on: not loaded.
    hsm_copyaction_private* hcp = nullptr;
    EXPECT_EQ(LustreAPI::HSMActionBegin(&hcp, nullptr, nullptr, -1, 0, false, message), -22);
    EXPECT_EQ(message, "llapi_hsm_action_begin is not loaded");
    EXPECT_EQ(LustreAPI::HSMActionEnd(&hcp, nullptr, 0, 0, message), -22);
    EXPECT_EQ(message, "llapi_hsm_action_end is not loaded");
    char fsname[16];
    EXPECT_EQ(LustreAPI::SearchFsName("/mnt", fsname, message), -22);
    EXPECT_EQ(message, "llapi_search_fsname is not loaded");
    EXPECT_EQ(LustreAPI::HSMArchive("/mnt/f", nullptr, message), -22);
    EXPECT_EQ(message, "llapi_hsm_user_request_alloc is not loaded");
    EXPECT_EQ(sim.callCount("llapi_search_fsname"), 0);
}
