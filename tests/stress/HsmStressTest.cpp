// The Lustre-facing operations under load, against the stand-in
// liblustreapi.so: many threads calling the guarded operations after binding.
// (Each call of the request path failing, descriptors and requests freed: the
// API tests, under the leak checkers.)
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

TEST(StressHsm, ManyThreadsCallTheGuardedOperationsAtOnce)
{
    static testsupport::QuietLogWriter quiet;  // the only test here: nothing to restore
    g_ptrLogWriter = &quiet;
    apitest::SimState state;
    ASSERT_FALSE(LustreAPI::LoadFunctions().Failed());
    apitest::SimControl sim = apitest::FindSimControl();
    ASSERT_TRUE(sim.Found()) << "the stand-in's control interface is missing";
    sim.reset();
    constexpr int kThreads = 8, kRounds = 300;
    std::vector<std::string> files;
    for (int t = 0; t < kThreads; ++t) files.push_back(state.WriteFile("dir" + std::to_string(t) + "/f", "x"));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const std::string& path = files[t];
            const std::string relative = "dir" + std::to_string(t) + "/f";
            for (int i = 0; i < kRounds; ++i) {
                std::string msg;
                char fsname[64] = {};
                if (LustreAPI::SearchFsName(path.c_str(), fsname, msg) != 0 || std::string(fsname) != "lustre")
                    ++failures;
                lu_fid fid{};
                if (LustreAPI::Path2FID(path, fid, msg) != 0) ++failures;
                char text[64];
                std::snprintf(text, sizeof text, "[0x%llx:0x%x:0x%x]", fid.f_seq, fid.f_oid, fid.f_ver);
                char found[1024] = {};
                long long recno = 0;
                int linkno = 0;
                if (LustreAPI::FID2Path(state.mount.c_str(), text, found, sizeof found, &recno, &linkno, msg) != 0 ||
                    relative != found)
                    ++failures;
                if (LustreAPI::HSMArchive(path.c_str(), "stress", msg) != 0) ++failures;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, failures.load());
    // Every call reached the stand-in exactly once.
    const int total = kThreads * kRounds;
    for (const char* entryPoint : {"llapi_search_fsname", "llapi_path2fid", "llapi_fid2path", "llapi_hsm_request"})
        EXPECT_EQ(total, sim.callCount(entryPoint)) << entryPoint;
}

}  // namespace
