// The Lustre-facing operations under load, against the stand-in
// liblustreapi.so: many threads calling the guarded operations after binding,
// and the HSM request path with each of its calls failing in turn, over and
// over, proving that every descriptor is closed and every request freed.
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define STRESS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define STRESS_SANITIZED 1
#endif
#endif

namespace {

class QuietLog : public LogWriter {
public:
    int GetLevel() override { return -1; }
    void Log(int, const char*, int, int, int, const char*, ...) override {}
};

class StressHsm : public ::testing::Test {
protected:
    void SetUp() override {
        m_previous = g_ptrLogWriter;
        g_ptrLogWriter = &m_quiet;
        ASSERT_FALSE(LustreAPI::LoadFunctions().Failed());
        sim = apitest::FindSimControl();
        ASSERT_TRUE(sim.Found()) << "the stand-in's control interface is missing";
        sim.reset();
    }
    void TearDown() override {
        if (sim.Found()) sim.failClear();
        g_ptrLogWriter = m_previous;
    }

    apitest::SimState state;
    apitest::SimControl sim;

private:
    QuietLog m_quiet;
    LogWriter* m_previous = nullptr;
};

TEST_F(StressHsm, ManyThreadsCallTheGuardedOperationsAtOnce) {
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
                if (LustreAPI::SearchFsName(path.c_str(), fsname, msg) != 0 || std::string(fsname) != "lustre") ++failures;
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
    EXPECT_EQ(total, sim.callCount("llapi_search_fsname"));
    EXPECT_EQ(total, sim.callCount("llapi_path2fid"));
    EXPECT_EQ(total, sim.callCount("llapi_fid2path"));
    EXPECT_EQ(total, sim.callCount("llapi_hsm_request"));
    EXPECT_EQ(total, sim.callCount("llapi_hsm_user_request_alloc"));
}

struct Fault {
    const char* entryPoint;  // made to fail once; null: the open fails
    int injected;
    int result;              // HSMRequest's result
    const char* message;     // %d: the descriptor number is not known in advance, so only the start is compared
    int fd2fidCalls, requestCalls;
};

TEST_F(StressHsm, EveryCallOfTheRequestPathFailingInTurnLeaksNothing) {
    const std::string file = state.WriteFile("victim", "data");
    const std::string missing = state.mount + "/missing";
    const Fault faults[] = {
        {nullptr, 0, -2, "", 0, 0},
        {"llapi_hsm_user_request_alloc", 0, -12, "", 0, 0},
        {"llapi_fd2fid", -5, -5, "llapi_fd2fid(", 1, 0},
        {"llapi_hsm_request", -16, -16, "llapi_hsm_request(", 1, 1},
    };
    constexpr int kRounds = 200;
    std::string msg;
    LustreAPI::HSMArchive(file.c_str(), "warm-up", msg);  // the stand-in's own first-use allocations
    const int fdsBefore = testsupport::OpenFdCount();
    const size_t heapBefore = mallinfo2().uordblks;
    for (int round = 0; round < kRounds; ++round) {
        for (const Fault& f : faults) {
            SCOPED_TRACE(f.entryPoint ? f.entryPoint : "open");
            sim.reset();
            if (f.entryPoint) sim.failNext(f.entryPoint, f.injected);
            const int rc = LustreAPI::HSMRequest(f.entryPoint ? file.c_str() : missing.c_str(), 10 + round % 3,
                                                 round % 2 ? "abc" : nullptr, msg);
            ASSERT_EQ(f.result, rc);
            ASSERT_EQ(0u, msg.rfind(f.message, 0)) << msg;
            ASSERT_EQ(f.fd2fidCalls, sim.callCount("llapi_fd2fid"));
            ASSERT_EQ(f.requestCalls, sim.callCount("llapi_hsm_request"));
            ASSERT_EQ(fdsBefore, testsupport::OpenFdCount()) << "descriptor left open";
        }
    }
#ifdef STRESS_SANITIZED
    // The sanitizer build's leak checker counts the requests at exit instead.
    (void)heapBefore;
#else
    // 600 allocated requests of 56 bytes or more: a leak of each shows as tens of kilobytes.
    const size_t heapAfter = mallinfo2().uordblks;
    EXPECT_LT(heapAfter, heapBefore + 8192) << "requests not freed";
#endif
}

}  // namespace
