// Binding against each kind of liblustreapi a host may meet, and every
// operation that calls into it. Binding is once per process: CTest runs this
// executable once per variant, with the variant's LD_LIBRARY_PATH and its
// name in API_VARIANT (see CMakeLists.txt). What each variant must do is a
// row of data/variants.txt; what each operation must hand over is a row of
// the operations table.
#include <dlfcn.h>
#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

using testsupport::CapturingLogWriter;

// The entry points in binding order (data/entry_points.txt).
std::vector<std::string> EntryPoints()
{
    std::vector<std::string> names;
    for (const testsupport::DataRow& row : testsupport::ReadRows(API_DATA_DIR "/entry_points.txt"))
        names.push_back(row.fields.at(0));
    return names;
}

// This process's row of data/variants.txt.
struct Variant {
    std::string name;
    std::vector<std::string> loads;  // names handed to the loader by one LoadFunctions
    std::string asked, pushed;       // failed binding: named in the loader's message, and pushed onto it
    int logLevel;
    int boundSlots;  // entry points 0 to boundSlots-1 reach the library
};

Variant ThisVariant()
{
    const char* name = std::getenv("API_VARIANT");
    for (const testsupport::DataRow& row : testsupport::ReadRows(API_DATA_DIR "/variants.txt")) {
        if (!name || row.fields.at(0) != name) continue;
        Variant v{name, {}, row.fields.at(2), row.fields.at(3), std::stoi(row.fields.at(4)), std::stoi(row.expected)};
        std::istringstream loads(row.fields.at(1));
        for (std::string load; loads >> load;) v.loads.push_back(load);
        return v;
    }
    throw std::logic_error(std::string("unknown API_VARIANT ") + (name ? name : "(unset)"));
}

// Every output an operation could write, preset to values a refusal keeps.
struct Outputs {
    hsm_copytool_private* ct = reinterpret_cast<hsm_copytool_private*>(0x1111);
    hsm_action_list* hal = reinterpret_cast<hsm_action_list*>(0x2222);
    int msgSize = 33;
    hsm_copyaction_private* hcp = reinterpret_cast<hsm_copyaction_private*>(0x4444);
    lu_fid fid{0x55, 0x66, 0x77};
    char text[64] = "untouched";
    long long recno = 88;
    int linkno = 99, mdtIndex = 111;
    int archives[2] = {3, 4};
    hsm_current_action hca{55, 0, {0, 0}};
    hsm_user_state hus{77, 0, 0, 0, {0, 0}};  // last: it ends in a flexible array
};

// What the stand-in recorded of a call: pointers, integers, strings.
struct Recorded {
    const void *p0 = nullptr, *p1 = nullptr, *p2 = nullptr;
    long long i0 = 0, i1 = 0, i2 = 0;
    unsigned long long u = 0;
    std::string s0 = "", s1 = "";

    std::string Text() const { return testing::PrintToString(std::make_tuple(p0, p1, p2, i0, i1, i2, u, s0, s1)); }
};

struct Operation {
    std::vector<int> slots;  // the slots it needs, in the order the guard checks them
    std::function<int(std::string& msg)> call;
    // Pass-throughs: the arguments the entry point must receive, and whether
    // msg keeps its text when the entry point is bound.
    std::optional<Recorded> args = std::nullopt;
    bool keepsMessage = false;
};

TEST(ApiBindingVariant, BindsOrFailsAsItsLibraryAllowsAndGuardsEveryOperation)
{
    using namespace LustreAPI;
    const Variant v = ThisVariant();
    const std::vector<std::string> kSlots = EntryPoints();
    if (v.name == "unbound")
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
        if (!v.pushed.empty()) {
            EXPECT_EQ(loads, v.loads);
            // The loader's own message, naming what it was asked for, then the one pushed onto it.
            const std::vector<std::string> messages = error.GetMessages();
            EXPECT_LT(error.GetCode(), 0);
            ASSERT_EQ(messages.size(), 2u) << error.ToString();
            EXPECT_NE(messages[0].find(v.asked), std::string::npos) << messages[0];
            EXPECT_EQ(messages[1], v.pushed);
            EXPECT_STREQ(error.GetLocations().back().m_function, "CKxError LustreAPI::LoadFunctions()");
        } else {
            EXPECT_EQ(error.GetCode(), 0) << error.ToString();
            EXPECT_TRUE(error.GetMessages().empty());
            EXPECT_EQ(loads, attempt == 1 ? v.loads : std::vector<std::string>{});
            if (attempt == 2) {
                EXPECT_EQ(log.levelQueries, queries);
            }
        }
    }
    if (!v.pushed.empty() || v.logLevel < 0) {
        EXPECT_TRUE(log.lines.empty());
    } else {
        ASSERT_EQ(log.lines.size(), 1u);
        EXPECT_EQ(log.lines[0].level, 0);
        EXPECT_EQ(log.lines[0].function, "CKxError LustreAPI::LoadFunctions()");
        EXPECT_EQ(log.lines[0].text, "Lustre library loaded");
    }
    EXPECT_EQ(log.levelQueries, v.pushed.empty() ? 1 : 0);  // asked once, on binding
    EXPECT_EQ(GetBoundEntryPoints(), std::vector<std::string>(kSlots.begin(), kSlots.begin() + v.boundSlots));

    apitest::SimState state;
    const std::string file = state.WriteFile("dir/f", "data");
    Outputs o;  // the calls' outputs, afresh for each
    hsm_action_item item{};
    const hsm_extent extent{4096, 8192};
    const unsigned long long total = (1ULL << 40) + 3;
    const char* const fidText = "[0x200:0x1:0x0]";
    const std::vector<Operation> operations = {
        {{0},
         [&](auto& m) { return HSMRegister(&o.ct, "/mnt", 2, o.archives, O_NONBLOCK, m); },
         Recorded{&o.ct, o.archives, nullptr, 2, O_NONBLOCK, 0, 0, "/mnt"}},
        {{1}, [&](auto& m) { return HSMUnregister(&o.ct, m); }, Recorded{&o.ct}},
        {{2}, [&](auto& m) { return HSMRecv(o.ct, &o.hal, &o.msgSize, m); }, Recorded{o.ct, &o.hal, &o.msgSize}},
        {{3},
         [&](auto& m) { return HSMActionBegin(&o.hcp, o.ct, &item, 1, O_WRONLY, true, m); },
         Recorded{&o.hcp, o.ct, &item, 1, O_WRONLY, 1}},
        {{3},
         [&](auto& m) { return HSMActionBegin(&o.hcp, o.ct, &item, -1, 0, false, m); },
         Recorded{&o.hcp, o.ct, &item, -1}},
        {{4},
         [&](auto& m) { return HSMActionEnd(&o.hcp, &extent, 1, -17, m); },
         Recorded{&o.hcp, &extent, nullptr, 1, -17}},
        {{5},
         [&](auto& m) { return HSMActionProgress(o.hcp, &extent, total, 2, m); },
         Recorded{o.hcp, &extent, nullptr, 2, 0, 0, total}},
        {{6}, [&](auto& m) { return HSMActionGetFD(o.hcp, m); }, Recorded{o.hcp}, true},
        {{7}, [&](auto& m) { return HSMActionGetDFID(o.hcp, &o.fid, m); }, Recorded{o.hcp, &o.fid}, true},
        {{10},
         [&](auto& m) { return SearchFsName(file.c_str(), o.text, m); },
         Recorded{o.text, nullptr, nullptr, 0, 0, 0, 0, file}},
        {{11},
         [&](auto& m) { return FID2Path("/mnt", fidText, o.text, 64, &o.recno, &o.linkno, m); },
         Recorded{o.text, &o.recno, &o.linkno, 64, 99, 0, 88, "/mnt", fidText}},
        {{13},
         [&](auto& m) { return GetMDTIndexByFid(9, &o.fid, &o.mdtIndex, m); },
         Recorded{&o.fid, &o.mdtIndex, nullptr, 9}},
        {{15},
         [&](auto& m) { return HSMStateGet(file.c_str(), &o.hus, m); },
         Recorded{&o.hus, nullptr, nullptr, 0, 0, 0, 0, file}},
        {{16},
         [&](auto& m) { return HSMStateSet(file.c_str(), 1ULL << 33 | 4, 8, 3, m); },
         Recorded{nullptr, nullptr, nullptr, 8, 3, 0, 1ULL << 33 | 4, file}},
        {{17},
         [&](auto& m) { return HSMCurrentAction(file.c_str(), &o.hca, m); },
         Recorded{&o.hca, nullptr, nullptr, 0, 0, 0, 0, file}},
        {{8, 9, 14}, [&](auto& m) { return HSMRequest(file.c_str(), HUA_RELEASE, "x", m); }},
        {{8, 9, 14}, [&](auto& m) { return HSMArchive(file.c_str(), nullptr, m); }},
        {{8, 9, 14}, [&](auto& m) { return HSMRequest(file.c_str(), HUA_ARCHIVE, 3, "x", m); }},
        {{8, 9, 14}, [&](auto& m) { return HSMArchive(file.c_str(), 2, nullptr, m); }},
        {{8, 9, 14},
         [&](auto& m) {
             std::vector<int> results;
             const CKxError error = HSMRequestFiles({file}, HUA_ARCHIVE, 0, "", results);
             if (error.Failed()) m = error.GetMessages().back();
             return results.at(0);
         }},
        {{12}, [&](auto& m) { return Path2FID(file, o.fid, m); }},
        {{15},
         [&](auto& m) {
             std::vector<hsm_user_state> states;
             std::vector<int> results;
             const CKxError error = HSMStateGetFiles({file}, states, results);
             if (error.Failed()) m = error.GetMessages().back();
             return results.at(0);
         }},
    };
    const apitest::SimControl sim = apitest::FindSimControl();
    const int fdsBefore = testsupport::OpenFdCount();
    for (const Operation& op : operations) {
        const auto unbound = std::find_if(op.slots.begin(), op.slots.end(), [&](int s) { return s >= v.boundSlots; });
        const int missing = unbound == op.slots.end() ? -1 : *unbound;
        const int last = op.slots.back();
        SCOPED_TRACE(kSlots.at(missing < 0 ? last : missing));
        o = Outputs();
        Outputs before;
        std::memcpy(static_cast<void*>(&before), &o, sizeof o);
        const std::string earlier = "text from an earlier call";
        std::string message = earlier;
        if (missing >= 0) {
            EXPECT_EQ(op.call(message), -22);
            EXPECT_EQ(message, kSlots[missing] + " is not loaded");
            EXPECT_EQ(std::memcmp(&o, &before, sizeof o), 0) << "outputs written";
        } else {
            // Bound: the call reaches the library, told to return a result of
            // its own on the last entry point it needs; it comes back as it is.
            ASSERT_TRUE(sim.Found());
            const int result = 40 - 9 * last;
            sim.failNext(kSlots[last].c_str(), result);
            EXPECT_EQ(op.call(message), result) << message;
            if (!op.args) continue;
            // A pass-through: the arguments as given, msg emptied or kept.
            EXPECT_EQ(message, op.keepsMessage ? earlier : "");
            const lustre_sim_args a = sim.Args(kSlots[last].c_str());
            EXPECT_EQ(Recorded({a.ptr0, a.ptr1, a.ptr2, a.int0, a.int1, a.int2, a.u64, a.str0, a.str1}).Text(),
                      op.args->Text());
        }
    }
    // The request operations refuse before opening anything, or close what they opened.
    EXPECT_EQ(testsupport::OpenFdCount(), fdsBefore);
    if (v.boundSlots > 0) return;

    // Without fid2path the conversion reports the missing entry point with
    // ENOENT and leaves its outputs.
    LustreAPI::CLustreFID fid{std::string("[0x200:0x1c:0x0]")};
    std::string path = "untouched";
    int linkNo = 3;
    long long recNo = 4;
    const CKxError error = GetPathFromFID("/mnt/lustre", fid, path, linkNo, recNo);
    EXPECT_EQ(std::to_string(error.GetSystemError()) + " " + error.GetMessages().at(0) + "; " + path + " " +
                  std::to_string(linkNo) + " " + std::to_string(recNo),
              "2 Cannot convert FID to Path for [0x200:0x1c:0x0] due to llapi_fid2path is not loaded; untouched 3 4");
    EXPECT_STREQ(error.GetLocations().at(0).m_file, "LustreAPI");

    // Lustre was not asked: the error has no reason of Lustre's.
    LustreAPI::CLustreFID kept(lu_fid{5, 6, 7});
    const CKxError notAsked = GetFIDFromPath("/mnt/lustre/file", kept);
    EXPECT_EQ(notAsked.GetSystemError(), 2);
    EXPECT_EQ(notAsked.GetMessages(), std::vector<std::string>{"llapi_path2fid is not loaded"});
    EXPECT_EQ(kept, LustreAPI::CLustreFID(lu_fid{5, 6, 7}));
}

}  // namespace
