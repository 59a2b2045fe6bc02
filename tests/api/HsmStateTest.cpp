// HSM state and current action through LustreAPI against the stand-in: every
// state bit as archive, release, restore, a write and the state calls set it
// (data/hsm_state.txt).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

const std::pair<unsigned, const char*> kBits[] = {
    {HS_EXISTS, "exists"},       {HS_DIRTY, "dirty"},         {HS_RELEASED, "released"}, {HS_ARCHIVED, "archived"},
    {HS_NORELEASE, "norelease"}, {HS_NOARCHIVE, "noarchive"}, {HS_LOST, "lost"}};

// Bits by name joined with '+', or a number.
unsigned long long Bits(const std::string& names)
{
    unsigned long long bits = 0;
    std::istringstream in(names);
    for (std::string name; std::getline(in, name, '+');) {
        const auto known = std::find_if(std::begin(kBits), std::end(kBits), [&](auto& b) { return name == b.second; });
        bits |= known != std::end(kBits) ? known->first : std::stoull(name, nullptr, 0);
    }
    return bits;
}

class ApiHsmState : public apitest::BoundTest {
protected:
    // The state bits by name, the archive id when there is one, then the
    // current action with its progress and the extent it covers, if any.
    std::string Status(const std::string& path)
    {
        hsm_user_state hus{};
        hsm_current_action hca{};
        std::string message, text;
        const int got = LustreAPI::HSMStateGet(path.c_str(), &hus, message);
        if (got != 0) return "state " + std::to_string(got);
        EXPECT_EQ(LustreAPI::HSMCurrentAction(path.c_str(), &hca, message), 0) << path;
        for (const auto& [bit, name] : kBits)
            if (hus.hus_states & bit) text += std::string(name) + " ";
        if (hus.hus_archive_id) text += "in " + std::to_string(hus.hus_archive_id) + " ";
        text += hsm_user_action2name(static_cast<hsm_user_action>(hca.hca_action));
        if (hca.hca_state != HPS_NONE)
            text += std::string(" ") + hsm_progress_state2name(static_cast<hsm_progress_states>(hca.hca_state)) + " " +
                    std::to_string(hca.hca_location.offset) + "+" + std::to_string(hca.hca_location.length);
        return text;
    }
    // Receives and begins one action, writes a restore's data back as it was
    // archived, and reports progress in two halves; the end is left to the
    // caller so that it can look at the running action first.
    hsm_copyaction_private* Begin(hsm_copytool_private* ct)
    {
        std::string message;
        hsm_action_list* hal = nullptr;
        int size = 0;
        EXPECT_EQ(LustreAPI::HSMRecv(ct, &hal, &size, message), 0);
        if (!hal) return nullptr;
        hsm_copyaction_private* hcp = nullptr;
        EXPECT_EQ(LustreAPI::HSMActionBegin(&hcp, ct, hai_first(hal), -1, 0, false, message), 0);
        const int fd = LustreAPI::HSMActionGetFD(hcp, message);
        if (hai_first(hal)->hai_action == HSMA_RESTORE) {
            EXPECT_EQ(::pwrite(fd, "twelve bytes", 12, 0), 12);
        }
        ::close(fd);
        const hsm_extent first{0, 5}, second{5, 7};
        EXPECT_EQ(LustreAPI::HSMActionProgress(hcp, &first, 0, 0, message), 0);
        EXPECT_EQ(LustreAPI::HSMActionProgress(hcp, &second, 0, 0, message), 0);
        return hcp;
    }
};

TEST_F(ApiHsmState, EveryBitThroughRequestsCopytoolAndStateCalls)
{
    if (const std::string why = testsupport::ActAsRoot(); !why.empty()) GTEST_SKIP() << why;  // sets HS_LOST
    const std::map<std::string, std::string> paths = {{"file", state.WriteFile("data/run.dat", "twelve bytes")},
                                                      {"f", state.WriteFile("f", "x")},
                                                      {"dir", state.mount + "/dir"},
                                                      {"missing", state.mount + "/none"},
                                                      {"outside", state.outside + "/f"}};
    ASSERT_EQ(::mkdir(paths.at("dir").c_str(), 0755), 0);
    testsupport::WriteFile(paths.at("outside"), "x");
    const std::map<std::string, int> requests = {
        {"archive", HUA_ARCHIVE}, {"release", HUA_RELEASE}, {"restore", HUA_RESTORE}};
    std::string message;
    hsm_copytool_private* ct = nullptr;
    int archives[] = {1};
    ASSERT_EQ(LustreAPI::HSMRegister(&ct, state.mount.c_str(), 1, archives, O_NONBLOCK, message), 0);
    hsm_copyaction_private* hcp = nullptr;
    for (const testsupport::DataRow& row : testsupport::ReadRows(API_DATA_DIR "/hsm_state.txt")) {
        const std::string& path = paths.at(row.fields.at(0));
        const std::string& step = row.fields.at(1);
        std::string result;
        if (step == "begin") {
            hcp = Begin(ct);
        } else if (step == "end") {
            const hsm_extent whole{0, ~0ULL};
            EXPECT_EQ(LustreAPI::HSMActionEnd(&hcp, &whole, 0, 0, message), 0);
        } else if (step == "write") {
            testsupport::WriteFile(path, row.fields.at(2));
        } else if (step == "set") {
            const int set = LustreAPI::HSMStateSet(path.c_str(), Bits(row.fields.at(2)), Bits(row.fields.at(3)),
                                                   std::stoul(row.fields.at(4)), message);
            result = std::to_string(set) + " ";
        } else if (step != "status") {
            std::vector<int> results;
            LustreAPI::HSMRequestFiles({path}, requests.at(step), 0, "", results);
            result = std::to_string(results.at(0)) + " ";
        }
        EXPECT_EQ(result + Status(path), row.expected) << row.line;
    }
    EXPECT_EQ(LustreAPI::HSMStateGet(paths.at("file").c_str(), nullptr, message), -EFAULT);
    EXPECT_EQ(LustreAPI::HSMUnregister(&ct, message), 0);
}

// Many files at once: each file's state as HSMStateGet gives it, or its
// errno; the first failure makes the error; progress after each file.
TEST_F(ApiHsmState, StatesOfManyFiles)
{
    const std::string kept = state.WriteFile("kept", "x"), plain = state.WriteFile("plain", "y");
    const std::string dir = state.mount + "/dir", missing = state.mount + "/none";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    std::string message;
    ASSERT_EQ(LustreAPI::HSMStateSet(kept.c_str(), HS_NORELEASE | HS_NOARCHIVE, 0, 0, message), 0);
    const std::vector<std::string> paths = {kept, missing, plain, dir};
    std::vector<hsm_user_state> states = {hsm_user_state{}};
    std::vector<int> results = {7};
    std::vector<std::string> calls;
    const CKxError error = LustreAPI::HSMStateGetFiles(paths, states, results, [&](size_t done, size_t total) {
        calls.push_back(std::to_string(done) + "/" + std::to_string(total));
    });
    EXPECT_EQ(results, (std::vector<int>{0, -ENOENT, 0, -ENOTTY}));
    ASSERT_EQ(states.size(), paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        hsm_user_state one{};
        if (results[i] != 0) continue;
        ASSERT_EQ(LustreAPI::HSMStateGet(paths[i].c_str(), &one, message), 0);
        EXPECT_EQ(states[i].hus_states, one.hus_states) << paths[i];
        EXPECT_EQ(states[i].hus_archive_id, one.hus_archive_id) << paths[i];
    }
    EXPECT_EQ(states[0].hus_states, unsigned{HS_NORELEASE | HS_NOARCHIVE});
    EXPECT_EQ(states[1].hus_states, 0u);
    EXPECT_EQ(calls, (std::vector<std::string>{"1/4", "2/4", "3/4", "4/4"}));
    EXPECT_EQ(error.GetSystemError(), ENOENT);
    EXPECT_EQ(error.GetMessages(), std::vector<std::string>{"HSM state query failed for 2 of 4 files, first " +
                                                            missing + ": No such file or directory"});

    EXPECT_FALSE(LustreAPI::HSMStateGetFiles({kept, plain}, states, results).Failed());
    EXPECT_EQ(results, (std::vector<int>{0, 0}));
    EXPECT_FALSE(LustreAPI::HSMStateGetFiles({}, states, results).Failed());
    EXPECT_TRUE(states.empty() && results.empty());
}

}  // namespace
