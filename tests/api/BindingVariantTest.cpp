// Binding against each kind of liblustreapi a host may meet. Binding is once
// per process: CTest runs this executable once per variant, with the
// variant's LD_LIBRARY_PATH and its name in API_VARIANT (see CMakeLists.txt).
// What each variant must do is a row of kVariants.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>

#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

using apitest::CapturingLogWriter;

const char* const kSlots[] = {"llapi_hsm_copytool_register",
                              "llapi_hsm_copytool_unregister",
                              "llapi_hsm_copytool_recv",
                              "llapi_hsm_action_begin",
                              "llapi_hsm_action_end",
                              "llapi_hsm_action_progress",
                              "llapi_hsm_action_get_fd",
                              "llapi_hsm_action_get_dfid",
                              "llapi_hsm_user_request_alloc",
                              "llapi_hsm_request",
                              "llapi_search_fsname",
                              "llapi_fid2path",
                              "llapi_path2fid",
                              "llapi_get_mdt_index_by_fid",
                              "llapi_fd2fid"};

struct Variant {
    const char* name;
    std::vector<std::string> loads;  // names handed to the loader by one LoadFunctions
    const char* asked;               // failed binding: named in the loader's message
    const char* pushed;              //   and the message pushed onto it; null when it binds
    int boundSlots;                  // slots 0 to boundSlots-1 reach the library
    int logLevel = 0;
};

const Variant kVariants[] = {
    {"unbound", {"liblustreapi.so", "liblustreapi.so.1"}, "liblustreapi.so", "Load(liblustreapi.so) failed", 0},
    // The loader is asked for the correctly spelt symbol; the pushed message is misspelt as hosts expect.
    {"no-entry-points",
     {"liblustreapi.so"},
     "llapi_hsm_copytool_register",
     "GetAddres(llapi_hsm_copytool_resgister) failed",
     0},
    {"no-action-begin", {"liblustreapi.so"}, "llapi_hsm_action_begin", "GetAddres(llapi_hsm_action_begin) failed", 3},
    {"no-fd2fid", {"liblustreapi.so"}, "llapi_fd2fid", "GetAddres(llapi_fd2fid) failed", 14},
    {"versioned-only", {"liblustreapi.so", "liblustreapi.so.1"}, nullptr, nullptr, 15},
    {"full", {"liblustreapi.so"}, nullptr, nullptr, 15},
    // A negative level suppresses the line; binding completes all the same.
    {"full-quiet", {"liblustreapi.so"}, nullptr, nullptr, 15, -1},
};

const Variant& ThisVariant()
{
    const char* name = std::getenv("API_VARIANT");
    for (const Variant& v : kVariants)
        if (name && std::strcmp(v.name, name) == 0) return v;
    throw std::logic_error(std::string("unknown API_VARIANT ") + (name ? name : "(unset)"));
}

// Every output a guarded operation could write, preset to values a refusal keeps.
struct Outputs {
    hsm_copytool_private* ct = reinterpret_cast<hsm_copytool_private*>(0x1111);
    hsm_action_list* hal = reinterpret_cast<hsm_action_list*>(0x2222);
    int msgSize = 33;
    hsm_copyaction_private* hcp = reinterpret_cast<hsm_copyaction_private*>(0x4444);
    lu_fid fid{0x55, 0x66, 0x77};
    char text[64] = "untouched";
    long long recno = 88;
    int linkno = 99, mdtIndex = 111;
    int archives[1] = {1};

    bool operator==(const Outputs& o) const
    {
        return ct == o.ct && hal == o.hal && msgSize == o.msgSize && hcp == o.hcp &&
               std::memcmp(&fid, &o.fid, sizeof fid) == 0 && std::strcmp(text, o.text) == 0 && recno == o.recno &&
               linkno == o.linkno && mdtIndex == o.mdtIndex;
    }
};

struct GuardedCase {
    std::vector<int> slots;  // the slots it needs, in the order the guard checks them
    std::function<int(Outputs&, const std::string& file, std::string&)> call;
};

TEST(ApiBindingVariant, BindsOrFailsAsItsLibraryAllowsAndGuardsEveryOperation)
{
    using namespace LustreAPI;
    const Variant& v = ThisVariant();
    if (std::strcmp(v.name, "unbound") == 0)
        if (void* found = dlopen("liblustreapi.so.1", RTLD_LAZY)) {
            dlclose(found);
            GTEST_SKIP() << "a liblustreapi is reachable on this machine; this variant needs none";
        }
    CapturingLogWriter log(v.logLevel);
    // Bound is final; a failed binding is tried afresh by the next call.
    for (int attempt = 1; attempt <= 2; ++attempt) {
        SCOPED_TRACE(attempt);
        const size_t before = apitest::LoadedNames().size();
        const int queries = log.levelQueries;
        const CKxError error = LoadFunctions();
        const std::vector<std::string> loads(apitest::LoadedNames().begin() + before, apitest::LoadedNames().end());
        if (v.pushed) {
            EXPECT_EQ(loads, v.loads);
            EXPECT_TRUE(apitest::BindingFailed(error, v.asked, v.pushed));
        } else {
            EXPECT_EQ(error.GetCode(), 0) << error.ToString();
            EXPECT_TRUE(error.GetMessages().empty());
            EXPECT_EQ(loads, attempt == 1 ? v.loads : std::vector<std::string>{});
            if (attempt == 2) {
                EXPECT_EQ(log.levelQueries, queries);
            }
        }
    }
    if (v.pushed || v.logLevel < 0) {
        EXPECT_TRUE(log.lines.empty());
    } else {
        ASSERT_EQ(log.lines.size(), 1u);
        EXPECT_EQ(log.lines[0].level, 0);
        EXPECT_EQ(log.lines[0].function, "CKxError LustreAPI::LoadFunctions()");
        EXPECT_EQ(log.lines[0].text, "Lustre library loaded");
    }
    EXPECT_EQ(log.levelQueries, v.pushed ? 0 : 1);  // asked once, on binding

    hsm_action_item item{};
    hsm_extent extent{0, 10};
    const std::vector<GuardedCase> cases = {
        {{0}, [](Outputs& o, auto&, auto& m) { return HSMRegister(&o.ct, "/mnt/lustre", 1, o.archives, 0, m); }},
        {{1}, [](Outputs& o, auto&, auto& m) { return HSMUnregister(&o.ct, m); }},
        {{2}, [](Outputs& o, auto&, auto& m) { return HSMRecv(o.ct, &o.hal, &o.msgSize, m); }},
        {{3}, [&](Outputs& o, auto&, auto& m) { return HSMActionBegin(&o.hcp, o.ct, &item, -1, 0, true, m); }},
        {{4}, [&](Outputs& o, auto&, auto& m) { return HSMActionEnd(&o.hcp, &extent, 0, 0, m); }},
        {{5}, [&](Outputs& o, auto&, auto& m) { return HSMActionProgress(o.hcp, &extent, 10, 0, m); }},
        {{6}, [](Outputs& o, auto&, auto& m) { return HSMActionGetFD(o.hcp, m); }},
        {{7}, [](Outputs& o, auto&, auto& m) { return HSMActionGetDFID(o.hcp, &o.fid, m); }},
        {{10}, [](Outputs& o, auto& f, auto& m) { return SearchFsName(f.c_str(), o.text, m); }},
        {{11},
         [](Outputs& o, auto&, auto& m) {
             return FID2Path("/mnt/lustre", "[0x200:0x1:0x0]", o.text, sizeof o.text, &o.recno, &o.linkno, m);
         }},
        {{13}, [](Outputs& o, auto&, auto& m) { return GetMDTIndexByFid(0, &o.fid, &o.mdtIndex, m); }},
        {{8, 9, 14}, [](Outputs&, auto& f, auto& m) { return HSMRequest(f.c_str(), HUA_RELEASE, "x", m); }},
        {{8, 9, 14}, [](Outputs&, auto& f, auto& m) { return HSMArchive(f.c_str(), nullptr, m); }},
        {{12}, [](Outputs& o, auto& f, auto& m) { return Path2FID(f, o.fid, m); }},
    };
    apitest::SimState state;
    const std::string file = state.WriteFile("dir/f", "data");
    const apitest::SimControl sim = apitest::FindSimControl();
    const int fdsBefore = apitest::OpenFdCount();
    for (const GuardedCase& c : cases) {
        int missing = -1;
        for (int slot : c.slots)
            if (slot >= v.boundSlots) {
                missing = slot;
                break;
            }
        SCOPED_TRACE(kSlots[missing < 0 ? c.slots.back() : missing]);
        Outputs outputs;
        std::string message = "text from an earlier call";
        if (missing < 0) {
            // Bound: the call reaches the library, told to fail on the last entry point it needs.
            ASSERT_TRUE(sim.Found());
            sim.failNext(kSlots[c.slots.back()], -95);
            EXPECT_EQ(c.call(outputs, file, message), -95) << message;
        } else {
            EXPECT_EQ(c.call(outputs, file, message), -22);
            EXPECT_EQ(message, std::string(kSlots[missing]) + " is not loaded");
            EXPECT_TRUE(outputs == Outputs());
        }
    }
    // The request operations refuse before opening anything, or close what they opened.
    EXPECT_EQ(apitest::OpenFdCount(), fdsBefore);
    if (v.boundSlots > 0) return;

    // Without path2fid and fid2path the FID conversions report the missing
    // entry point with ENOENT and leave their outputs.
    LustreAPI::CLustreFID fid{std::string("[0x200:0x1c:0x0]")};
    CKxError error = GetFIDFromPath("/mnt/lustre/file", fid);
    EXPECT_EQ(error.GetSystemError(), 2);
    EXPECT_EQ(error.GetMessages(), std::vector<std::string>{"llapi_path2fid is not loaded"});
    EXPECT_STREQ(error.GetLocations().at(0).m_file, "LustreAPI");
    EXPECT_EQ(fid.m_oid, 0x1cu);
    std::string path = "untouched";
    int linkNo = 3;
    long long recNo = 4;
    error = GetPathFromFID("/mnt/lustre", fid, path, linkNo, recNo);
    EXPECT_EQ(error.GetSystemError(), 2);
    EXPECT_EQ(error.GetMessages(),
              std::vector<std::string>{
                  "Cannot convert FID to Path for [0x200:0x1c:0x0] due to llapi_fid2path is not loaded"});
    EXPECT_EQ(path + std::to_string(linkNo) + std::to_string(recNo), "untouched34");
}

}  // namespace
