// A client with Lustre's runtime package only: liblustreapi.so.1 and no
// liblustreapi.so. Binding falls back to the versioned name.
#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

TEST(VersionedOnly, BindsThroughTheVersionedName)
{
    apitest::CapturingLogWriter log;
    const CKxError error = LustreAPI::LoadFunctions();
    ASSERT_EQ(error.GetCode(), 0) << error.ToString();
    EXPECT_EQ(apitest::LoadedNames(), (std::vector<std::string>{"liblustreapi.so", "liblustreapi.so.1"}));
    EXPECT_EQ(log.Matching("Lustre library loaded").size(), 1u);

    // Every slot from 0 on came from the versioned library: first and last work.
    apitest::SimControl sim = apitest::FindSimControl();
    ASSERT_TRUE(sim.Found());
    std::string message;
    sim.failNext("llapi_hsm_copytool_register", -95);
    EXPECT_EQ(LustreAPI::HSMRegister(nullptr, "/mnt", 0, nullptr, 0, message), -95);
    apitest::SimState state;
    const std::string file = state.WriteFile("f", "data");
    EXPECT_EQ(LustreAPI::HSMArchive(file.c_str(), nullptr, message), 0) << message;
    EXPECT_EQ(sim.callCount("llapi_fd2fid"), 1);

    EXPECT_EQ(LustreAPI::LoadFunctions().GetCode(), 0);
    EXPECT_EQ(apitest::LoadedNames().size(), 2u);
}
