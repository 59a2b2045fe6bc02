// A process with no Lustre library at all: binding fails and every operation
// that needs an entry point refuses with -22, its own message and untouched
// outputs.
#include <dlfcn.h>

#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

using apitest::CapturingLogWriter;

class UnboundTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (void* found = dlopen("liblustreapi.so.1", RTLD_LAZY)) {
            dlclose(found);
            GTEST_SKIP() << "a liblustreapi is reachable on this machine; this test needs none";
        }
    }
};

TEST_F(UnboundTest, LoadFailsWithThePlainNamesErrorAfterTryingBothNames)
{
    CapturingLogWriter log;
    for (int attempt = 1; attempt <= 2; ++attempt) {
        SCOPED_TRACE(attempt);
        const size_t loadsBefore = apitest::LoadedNames().size();
        const CKxError error = LustreAPI::LoadFunctions();
        ASSERT_LT(error.GetCode(), 0);
        // Each attempt starts over: the plain name, then once the versioned one.
        const std::vector<std::string> names(apitest::LoadedNames().begin() + loadsBefore,
                                             apitest::LoadedNames().end());
        EXPECT_EQ(names, (std::vector<std::string>{"liblustreapi.so", "liblustreapi.so.1"}));

        // The loader's own error is the one for the plain name.
        EXPECT_TRUE(apitest::BindingFailed(error, "liblustreapi.so", "Load(liblustreapi.so) failed"));
        EXPECT_EQ(error.GetMessages().at(0).find("liblustreapi.so.1"), std::string::npos) << error.ToString();
        EXPECT_STREQ(error.GetLocations().back().m_file, "LustreAPI");
    }
    EXPECT_TRUE(log.lines.empty());
}

// Every output a guarded operation could write, preset to values it must keep.
struct Outputs {
    hsm_copytool_private* ct = reinterpret_cast<hsm_copytool_private*>(0x1111);
    hsm_action_list* hal = reinterpret_cast<hsm_action_list*>(0x2222);
    int msgSize = 33;
    hsm_copyaction_private* hcp = reinterpret_cast<hsm_copyaction_private*>(0x4444);
    lu_fid fid{0x55, 0x66, 0x77};
    char text[64] = "untouched";
    long long recno = 88;
    int linkno = 99;
    int mdtIndex = 111;
    int archives[1] = {1};

    bool operator==(const Outputs& o) const
    {
        return ct == o.ct && hal == o.hal && msgSize == o.msgSize && hcp == o.hcp && fid.f_seq == o.fid.f_seq &&
               fid.f_oid == o.fid.f_oid && fid.f_ver == o.fid.f_ver && std::strcmp(text, o.text) == 0 &&
               recno == o.recno && linkno == o.linkno && mdtIndex == o.mdtIndex;
    }
};

struct GuardedCase {
    const char* message;
    std::function<int(Outputs&, std::string&)> call;
};

TEST_F(UnboundTest, EveryGuardedOperationRefusesWithItsMessage)
{
    using namespace LustreAPI;
    hsm_action_item item{};
    hsm_extent extent{0, 10};
    const std::vector<GuardedCase> cases = {
        {"llapi_hsm_copytool_register is not loaded",
         [](Outputs& o, std::string& m) { return HSMRegister(&o.ct, "/mnt/lustre", 1, o.archives, 0, m); }},
        {"llapi_hsm_copytool_unregister is not loaded",
         [](Outputs& o, std::string& m) { return HSMUnregister(&o.ct, m); }},
        {"llapi_hsm_copytool_recv is not loaded",
         [](Outputs& o, std::string& m) { return HSMRecv(o.ct, &o.hal, &o.msgSize, m); }},
        {"llapi_hsm_action_begin is not loaded",
         [&](Outputs& o, std::string& m) { return HSMActionBegin(&o.hcp, o.ct, &item, -1, 0, true, m); }},
        {"llapi_hsm_action_end is not loaded",
         [&](Outputs& o, std::string& m) { return HSMActionEnd(&o.hcp, &extent, 0, 0, m); }},
        {"llapi_hsm_action_progress is not loaded",
         [&](Outputs& o, std::string& m) { return HSMActionProgress(o.hcp, &extent, 10, 0, m); }},
        {"llapi_hsm_action_get_fd is not loaded",
         [](Outputs& o, std::string& m) { return HSMActionGetFD(o.hcp, m); }},
        {"llapi_hsm_action_get_dfid is not loaded",
         [](Outputs& o, std::string& m) { return HSMActionGetDFID(o.hcp, &o.fid, m); }},
        {"llapi_search_fsname is not loaded",
         [](Outputs& o, std::string& m) { return SearchFsName("/mnt/lustre", o.text, m); }},
        {"llapi_fid2path is not loaded",
         [](Outputs& o, std::string& m) {
             return FID2Path("/mnt/lustre", "[0x200:0x1:0x0]", o.text, sizeof o.text, &o.recno, &o.linkno, m);
         }},
        {"llapi_get_mdt_index_by_fid is not loaded",
         [](Outputs& o, std::string& m) { return GetMDTIndexByFid(0, &o.fid, &o.mdtIndex, m); }},
        {"llapi_hsm_user_request_alloc is not loaded",
         [](Outputs&, std::string& m) { return HSMRequest("/nonexistent/file", HUA_RELEASE, "x", m); }},
        {"llapi_hsm_user_request_alloc is not loaded",
         [](Outputs&, std::string& m) { return HSMArchive("/nonexistent/file", nullptr, m); }},
        {"llapi_path2fid is not loaded",
         [](Outputs& o, std::string& m) { return Path2FID("/mnt/lustre/f", o.fid, m); }},
    };
    CapturingLogWriter log;
    const int fdsBefore = apitest::OpenFdCount();
    for (const GuardedCase& c : cases) {
        SCOPED_TRACE(c.message);
        Outputs outputs;
        std::string message = "text from an earlier call";
        EXPECT_EQ(c.call(outputs, message), -22);
        EXPECT_EQ(message, c.message);
        EXPECT_TRUE(outputs == Outputs());
    }
    // The request operations refuse before opening anything, and nothing logs.
    EXPECT_EQ(apitest::OpenFdCount(), fdsBefore);
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(UnboundTest, FidConversionsReportTheMissingEntryPoint)
{
    LustreAPI::CLustreFID fid;
    fid.m_seq = 0x200;
    fid.m_oid = 0x1c;
    fid.m_ver = 0;

    LustreAPI::CLustreFID kept(fid);
    CKxError error = LustreAPI::GetFIDFromPath("/mnt/lustre/file", kept);
    ASSERT_LT(error.GetCode(), 0);
    EXPECT_EQ(error.GetSystemError(), 2);
    EXPECT_EQ(error.GetMessages(), std::vector<std::string>{"llapi_path2fid is not loaded"});
    EXPECT_STREQ(error.GetLocations().at(0).m_file, "LustreAPI");
    EXPECT_EQ(kept.m_seq, 0x200u);
    EXPECT_EQ(kept.m_oid, 0x1cu);

    std::string path = "untouched";
    int linkNo = 3;
    long long recNo = 4;
    error = LustreAPI::GetPathFromFID("/mnt/lustre", fid, path, linkNo, recNo);
    ASSERT_LT(error.GetCode(), 0);
    EXPECT_EQ(error.GetSystemError(), 2);
    EXPECT_EQ(error.GetMessages(), std::vector<std::string>{
                                       "Cannot convert FID to Path for [0x200:0x1c:0x0] due to llapi_fid2path is not loaded"});
    EXPECT_EQ(path, "untouched");
    EXPECT_EQ(linkNo, 3);
    EXPECT_EQ(recNo, 4);
}

}  // namespace
