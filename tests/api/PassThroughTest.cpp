// The eleven pass-through operations hand their arguments to the stand-in
// unchanged and bring its result back unchanged.
#include <fcntl.h>

#include <functional>
#include <ostream>
#include <tuple>

#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

using PassThroughTest = apitest::BoundTest;

// What the stand-in recorded of a call: pointers, integers, strings.
struct Recorded {
    const void *p0 = nullptr, *p1 = nullptr, *p2 = nullptr;
    long long i0 = 0, i1 = 0, i2 = 0;
    unsigned long long u = 0;
    std::string s0 = "", s1 = "";

    static Recorded Of(const lustre_sim_args& a)
    {
        return {a.ptr0, a.ptr1, a.ptr2, a.int0, a.int1, a.int2, a.u64, a.str0, a.str1};
    }
    bool operator==(const Recorded& o) const
    {
        return std::tie(p0, p1, p2, i0, i1, i2, u, s0, s1) ==
               std::tie(o.p0, o.p1, o.p2, o.i0, o.i1, o.i2, o.u, o.s0, o.s1);
    }
    friend std::ostream& operator<<(std::ostream& os, const Recorded& r)
    {
        return os << r.p0 << ' ' << r.p1 << ' ' << r.p2 << ' ' << r.i0 << ' ' << r.i1 << ' ' << r.i2 << ' ' << r.u
                  << " \"" << r.s0 << "\" \"" << r.s1 << '"';
    }
};

struct ForwardCase {
    const char* entryPoint;
    bool emptiesMessage;
    int result;  // what the stand-in is told to return
    std::function<int(std::string&)> call;
    Recorded args;
};

TEST_F(PassThroughTest, ArgumentsAndResultsAreForwardedUnchanged)
{
    using namespace LustreAPI;
    hsm_copytool_private* ct = reinterpret_cast<hsm_copytool_private*>(0x1000);
    hsm_copyaction_private* hcp = reinterpret_cast<hsm_copyaction_private*>(0x2000);
    hsm_action_list* hal = nullptr;
    int msgSize = 0, archives[2] = {3, 4}, mdtIndex = -1, linkno = 6;
    hsm_action_item item{};
    const hsm_extent extent{4096, 8192};
    lu_fid fid{0x200000400, 0x1c, 0};
    char text[64] = "";
    long long recno = 5;
    const unsigned long long total = (1ULL << 40) + 3;
    const std::vector<ForwardCase> cases = {
        {"llapi_hsm_copytool_register",
         true,
         -7,
         [&](std::string& m) { return HSMRegister(&ct, "/some/mount", 2, archives, O_NONBLOCK, m); },
         {&ct, archives, nullptr, 2, O_NONBLOCK, 0, 0, "/some/mount"}},
        {"llapi_hsm_copytool_unregister", true, 3, [&](std::string& m) { return HSMUnregister(&ct, m); }, {&ct}},
        {"llapi_hsm_copytool_recv",
         true,
         -11,
         [&](std::string& m) { return HSMRecv(ct, &hal, &msgSize, m); },
         {ct, &hal, &msgSize}},
        {"llapi_hsm_action_begin",
         true,
         -2,
         [&](std::string& m) { return HSMActionBegin(&hcp, ct, &item, 1, O_WRONLY, true, m); },
         {&hcp, ct, &item, 1, O_WRONLY, 1}},
        {"llapi_hsm_action_begin",
         true,
         0,
         [&](std::string& m) { return HSMActionBegin(&hcp, ct, &item, -1, 0, false, m); },
         {&hcp, ct, &item, -1}},
        {"llapi_hsm_action_end",
         true,
         -5,
         [&](std::string& m) { return HSMActionEnd(&hcp, &extent, 1, -17, m); },
         {&hcp, &extent, nullptr, 1, -17}},
        {"llapi_hsm_action_progress",
         true,
         -4,
         [&](std::string& m) { return HSMActionProgress(hcp, &extent, total, 2, m); },
         {hcp, &extent, nullptr, 2, 0, 0, total}},
        {"llapi_hsm_action_get_fd", false, 42, [&](std::string& m) { return HSMActionGetFD(hcp, m); }, {hcp}},
        {"llapi_hsm_action_get_dfid",
         false,
         -22,
         [&](std::string& m) { return HSMActionGetDFID(hcp, &fid, m); },
         {hcp, &fid}},
        {"llapi_search_fsname",
         true,
         -19,
         [&](std::string& m) { return SearchFsName("/some/path", text, m); },
         {text, nullptr, nullptr, 0, 0, 0, 0, "/some/path"}},
        {"llapi_fid2path",
         true,
         -75,
         [&](std::string& m) { return FID2Path("/some/mount", "[0x1:0x2:0x0]", text, 17, &recno, &linkno, m); },
         {text, &recno, &linkno, 17, 6, 0, 5, "/some/mount", "[0x1:0x2:0x0]"}},
        {"llapi_get_mdt_index_by_fid",
         true,
         1,
         [&](std::string& m) { return GetMDTIndexByFid(9, &fid, &mdtIndex, m); },
         {&fid, &mdtIndex, nullptr, 9}},
    };
    for (const ForwardCase& c : cases) {
        SCOPED_TRACE(c.entryPoint);
        sim.failNext(c.entryPoint, c.result);
        const int callsBefore = sim.callCount(c.entryPoint);
        std::string message = "text from an earlier call";
        EXPECT_EQ(c.call(message), c.result);
        EXPECT_EQ(sim.callCount(c.entryPoint), callsBefore + 1);
        EXPECT_EQ(message, c.emptiesMessage ? "" : "text from an earlier call");
        EXPECT_EQ(Recorded::Of(sim.Args(c.entryPoint)), c.args);
    }
}

}  // namespace
