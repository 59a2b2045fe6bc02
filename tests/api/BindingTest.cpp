// Binding liblustreapi.so where the plain name loads. These cases need to be
// the first binding of their process (CTest runs each case on its own).
#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

using apitest::CapturingLogWriter;

constexpr const char* kNeedsFreshProcess =
    "binding already happened in this process; run this case on its own (--gtest_filter), as CTest does";

TEST(ApiBinding, BindsOnceAndLogsOnce)
{
    if (!apitest::LoadedNames().empty()) GTEST_SKIP() << kNeedsFreshProcess;
    CapturingLogWriter log;
    ASSERT_GE(LustreAPI::LoadFunctions().GetCode(), 0);
    // The plain name loaded: the versioned one is not tried.
    EXPECT_EQ(apitest::LoadedNames(), std::vector<std::string>{"liblustreapi.so"});
    const auto loaded = log.Matching("Lustre library loaded");
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].level, 0);
    EXPECT_EQ(loaded[0].function, "CKxError LustreAPI::LoadFunctions()");
    EXPECT_EQ(log.lines.size(), 1u);

    // Bound is final: a second call loads nothing, asks nothing and logs nothing.
    const int queries = log.levelQueries;
    const CKxError again = LustreAPI::LoadFunctions();
    EXPECT_EQ(again.GetCode(), 0);
    EXPECT_TRUE(again.GetMessages().empty());
    EXPECT_EQ(apitest::LoadedNames().size(), 1u);
    EXPECT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.levelQueries, queries);
}

TEST(ApiBinding, NegativeLevelSuppressesTheLineButBindingCompletes)
{
    if (!apitest::LoadedNames().empty()) GTEST_SKIP() << kNeedsFreshProcess;
    CapturingLogWriter log(-1);
    ASSERT_GE(LustreAPI::LoadFunctions().GetCode(), 0);
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(log.levelQueries, 1);
    // Complete all the same: the request's three slots, the last one among
    // them, are bound (the open is reached), and a new call loads nothing.
    std::string message;
    EXPECT_EQ(LustreAPI::HSMRequest("/nonexistent/for/binding", HUA_ARCHIVE, nullptr, message), -2);
    EXPECT_EQ(LustreAPI::LoadFunctions().GetCode(), 0);
    EXPECT_EQ(apitest::LoadedNames().size(), 1u);
}

}  // namespace
