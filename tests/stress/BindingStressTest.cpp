// Binding repeated after a failure while other threads call the entry points
// bound already, against a stand-in liblustreapi.so without llapi_fd2fid (so
// every attempt binds fourteen slots again and fails at the fifteenth). Run
// under ThreadSanitizer, a racy table shows here.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

TEST(StressBinding, RepeatedBindingWhileThreadsCallBoundEntryPoints)
{
    static testsupport::QuietLogWriter quiet;
    g_ptrLogWriter = &quiet;
    apitest::SimState state;
    const std::string file = state.WriteFile("dir/f", "x");
    ASSERT_TRUE(LustreAPI::LoadFunctions().Failed());

    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&] {
            while (!stop.load()) {
                std::string msg;
                char fsname[64] = {};
                if (LustreAPI::SearchFsName(file.c_str(), fsname, msg) != 0 || std::string(fsname) != "lustre")
                    ++failures;
            }
        });
    std::vector<std::thread> binders;
    for (int t = 0; t < 2; ++t)
        binders.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                const CKxError error = LustreAPI::LoadFunctions();
                if (error.GetMessages().empty() || error.GetMessages().back() != "GetAddres(llapi_fd2fid) failed")
                    ++failures;
            }
        });
    for (auto& b : binders) b.join();
    stop = true;
    for (auto& c : callers) c.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
