// A liblustreapi.so that loads but has none of the entry points: binding
// stops at slot 0 with its (misspelt) message and leaves everything unbound.
#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

TEST(NoEntryPoints, BindingStopsAtTheFirstSlot)
{
    apitest::CapturingLogWriter log;
    // The loader is asked for the correctly spelt symbol; the message pushed
    // onto its error is misspelt as hosts expect.
    EXPECT_TRUE(apitest::BindingFailed(LustreAPI::LoadFunctions(), "llapi_hsm_copytool_register",
                                       "GetAddres(llapi_hsm_copytool_resgister) failed"));
    EXPECT_EQ(apitest::LoadedNames(), std::vector<std::string>{"liblustreapi.so"});

    std::string message;
    EXPECT_EQ(LustreAPI::HSMRegister(nullptr, "/mnt", 0, nullptr, 0, message), -22);
    EXPECT_EQ(message, "llapi_hsm_copytool_register is not loaded");
    EXPECT_TRUE(log.lines.empty());
}
