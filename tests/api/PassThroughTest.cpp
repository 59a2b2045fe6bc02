// The eleven pass-through operations hand their arguments to the stand-in
// unchanged and bring its result back unchanged.
#include <fcntl.h>

#include <functional>

#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

using PassThroughTest = apitest::BoundTest;

struct ForwardCase {
    const char* entryPoint;
    bool emptiesMessage;
    int result;  // what the stand-in is told to return
    std::function<int(std::string&)> call;
    std::function<void(const lustre_sim_args&)> checkArgs;
};

TEST_F(PassThroughTest, ArgumentsAndResultsAreForwardedUnchanged)
{
    using namespace LustreAPI;
    hsm_copytool_private* ct = reinterpret_cast<hsm_copytool_private*>(0x1000);
    hsm_copyaction_private* hcp = reinterpret_cast<hsm_copyaction_private*>(0x2000);
    hsm_action_list* hal = nullptr;
    int msgSize = 0;
    int archives[2] = {3, 4};
    hsm_action_item item{};
    const hsm_extent extent{4096, 8192};
    lu_fid fid{0x200000400, 0x1c, 0};
    char text[64] = "";
    long long recno = 5;
    int linkno = 6;
    int mdtIndex = -1;
    const unsigned long long total = (1ULL << 40) + 3;

    const std::vector<ForwardCase> cases = {
        {"llapi_hsm_copytool_register", true, -7,
         [&](std::string& m) { return HSMRegister(&ct, "/some/mount", 2, archives, O_NONBLOCK, m); },
         [&](const lustre_sim_args& a) {
             EXPECT_EQ(a.ptr0, &ct);
             EXPECT_STREQ(a.str0, "/some/mount");
             EXPECT_EQ(a.int0, 2);
             EXPECT_EQ(a.ptr1, archives);
             EXPECT_EQ(a.int1, O_NONBLOCK);
         }},
        {"llapi_hsm_copytool_unregister", true, 3, [&](std::string& m) { return HSMUnregister(&ct, m); },
         [&](const lustre_sim_args& a) { EXPECT_EQ(a.ptr0, &ct); }},
        {"llapi_hsm_copytool_recv", true, -11, [&](std::string& m) { return HSMRecv(ct, &hal, &msgSize, m); },
         [&](const lustre_sim_args& a) {
             EXPECT_EQ(a.ptr0, ct);
             EXPECT_EQ(a.ptr1, &hal);
             EXPECT_EQ(a.ptr2, &msgSize);
         }},
        {"llapi_hsm_action_begin", true, -2,
         [&](std::string& m) { return HSMActionBegin(&hcp, ct, &item, 1, O_WRONLY, true, m); },
         [&](const lustre_sim_args& a) {
             EXPECT_EQ(a.ptr0, &hcp);
             EXPECT_EQ(a.ptr1, ct);
             EXPECT_EQ(a.ptr2, &item);
             EXPECT_EQ(a.int0, 1);
             EXPECT_EQ(a.int1, O_WRONLY);
             EXPECT_EQ(a.int2, 1);
         }},
        {"llapi_hsm_action_begin", true, 0,
         [&](std::string& m) { return HSMActionBegin(&hcp, ct, &item, -1, 0, false, m); },
         [&](const lustre_sim_args& a) {
             EXPECT_EQ(a.int0, -1);
             EXPECT_EQ(a.int2, 0);
         }},
        {"llapi_hsm_action_end", true, -5, [&](std::string& m) { return HSMActionEnd(&hcp, &extent, 1, -17, m); },
         [&](const lustre_sim_args& a) {
             EXPECT_EQ(a.ptr0, &hcp);
             EXPECT_EQ(a.ptr1, &extent);
             EXPECT_EQ(a.int0, 1);
             EXPECT_EQ(a.int1, -17);
         }},
        {"llapi_hsm_action_progress", true, -4,
         [&](std::string& m) { return HSMActionProgress(hcp, &extent, total, 2, m); },
         [&](const lustre_sim_args& a) {
             EXPECT_EQ(a.ptr0, hcp);
             EXPECT_EQ(a.ptr1, &extent);
             EXPECT_EQ(a.u64, total);
             EXPECT_EQ(a.int0, 2);
         }},
        {"llapi_hsm_action_get_fd", false, 42, [&](std::string& m) { return HSMActionGetFD(hcp, m); },
         [&](const lustre_sim_args& a) { EXPECT_EQ(a.ptr0, hcp); }},
        {"llapi_hsm_action_get_dfid", false, -22, [&](std::string& m) { return HSMActionGetDFID(hcp, &fid, m); },
         [&](const lustre_sim_args& a) {
             EXPECT_EQ(a.ptr0, hcp);
             EXPECT_EQ(a.ptr1, &fid);
         }},
        {"llapi_search_fsname", true, -19, [&](std::string& m) { return SearchFsName("/some/path", text, m); },
         [&](const lustre_sim_args& a) {
             EXPECT_STREQ(a.str0, "/some/path");
             EXPECT_EQ(a.ptr0, text);
         }},
        {"llapi_fid2path", true, -75,
         [&](std::string& m) { return FID2Path("/some/mount", "[0x1:0x2:0x0]", text, 17, &recno, &linkno, m); },
         [&](const lustre_sim_args& a) {
             EXPECT_STREQ(a.str0, "/some/mount");
             EXPECT_STREQ(a.str1, "[0x1:0x2:0x0]");
             EXPECT_EQ(a.ptr0, text);
             EXPECT_EQ(a.int0, 17);
             EXPECT_EQ(a.ptr1, &recno);
             EXPECT_EQ(a.ptr2, &linkno);
             EXPECT_EQ(a.u64, 5u);
             EXPECT_EQ(a.int1, 6);
         }},
        {"llapi_get_mdt_index_by_fid", true, 1,
         [&](std::string& m) { return GetMDTIndexByFid(9, &fid, &mdtIndex, m); },
         [&](const lustre_sim_args& a) {
             EXPECT_EQ(a.int0, 9);
             EXPECT_EQ(a.ptr1, &mdtIndex);
             EXPECT_EQ(a.fid_seq, fid.f_seq);
             EXPECT_EQ(a.fid_oid, fid.f_oid);
         }},
    };
    for (const ForwardCase& c : cases) {
        SCOPED_TRACE(c.entryPoint);
        sim.failNext(c.entryPoint, c.result);
        const int callsBefore = sim.callCount(c.entryPoint);
        std::string message = "text from an earlier call";
        EXPECT_EQ(c.call(message), c.result);
        EXPECT_EQ(sim.callCount(c.entryPoint), callsBefore + 1);
        EXPECT_EQ(message, c.emptiesMessage ? "" : "text from an earlier call");
        c.checkArgs(sim.Args(c.entryPoint));
    }
}

TEST_F(PassThroughTest, RealLookUpsThroughTheStandIn)
{
    const std::string file = state.WriteFile("dir/file", "x");
    char fsname[64] = "";
    std::string message = "old";
    EXPECT_EQ(LustreAPI::SearchFsName(file.c_str(), fsname, message), 0);
    EXPECT_STREQ(fsname, "lustre");
    EXPECT_EQ(message, "");

    lu_fid fid{};
    ASSERT_EQ(LustreAPI::Path2FID(file, fid, message), 0);
    char relative[64] = "";
    long long recno = 0;
    int linkno = 0;
    char fidText[64];
    std::snprintf(fidText, sizeof fidText, "[0x%llx:0x%x:0x%x]", fid.f_seq, fid.f_oid, fid.f_ver);
    EXPECT_EQ(LustreAPI::FID2Path(state.mount.c_str(), fidText, relative, sizeof relative, &recno, &linkno, message), 0);
    EXPECT_STREQ(relative, "dir/file");
    // One byte short of the path and its NUL: Lustre's overflow error, unchanged.
    EXPECT_EQ(LustreAPI::FID2Path(state.mount.c_str(), fidText, relative, 8, &recno, &linkno, message), -EOVERFLOW);
    EXPECT_EQ(message, "");
}

}  // namespace
