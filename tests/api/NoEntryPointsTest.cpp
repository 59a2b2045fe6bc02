// A liblustreapi.so that loads but has none of the entry points: binding
// stops at slot 0 with its (misspelt) message and leaves everything unbound.
#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

TEST(NoEntryPoints, BindingStopsAtTheFirstSlot)
{
    apitest::CapturingLogWriter log;
    const CKxError error = LustreAPI::LoadFunctions();
    ASSERT_LT(error.GetCode(), 0);
    const std::vector<std::string> messages = error.GetMessages();
    ASSERT_EQ(messages.size(), 2u);
    // The loader was asked for the correctly spelt symbol ...
    EXPECT_NE(messages[0].find("llapi_hsm_copytool_register"), std::string::npos) << messages[0];
    // ... and the message pushed onto its error is misspelt as hosts expect.
    EXPECT_EQ(messages[1], "GetAddres(llapi_hsm_copytool_resgister) failed");
    EXPECT_STREQ(error.GetLocations().back().m_function, "CKxError LustreAPI::LoadFunctions()");
    EXPECT_EQ(apitest::LoadedNames(), std::vector<std::string>{"liblustreapi.so"});

    std::string message;
    EXPECT_EQ(LustreAPI::HSMRegister(nullptr, "/mnt", 0, nullptr, 0, message), -22);
    EXPECT_EQ(message, "llapi_hsm_copytool_register is not loaded");
    EXPECT_TRUE(log.lines.empty());
}
