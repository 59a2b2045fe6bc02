// A consumer built on LustreAPI reads, for each imitated Lustre version, the
// records the stand-in's watcher made of what the consumer did to a file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "LustreAPI.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

const std::string kSimBin = SIM_BIN_DIR;

class WatchedChain : public ::testing::TestWithParam<const char*> {
protected:
    WatchedChain()
        : path("PATH", kSimBin + ":" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")),
          state("LUSTRE_SIM_STATE", dir / "state")
    {
    }

    void SetUp() override
    {
        if (!Exists(kSimBin + "/lustre-sim")) GTEST_SKIP() << "the stand-in tools were not built in " << kSimBin;
        std::filesystem::create_directories(dir / "mnt");
        for (const std::string& step : {"init " + dir / "state" + " --version " + GetParam(),
                                        std::string("add-fs lustre --mdts 2"), "mount lustre " + dir / "mnt"})
            ASSERT_EQ(Sim(step), "") << step;
        ASSERT_FALSE(LustreAPI::LoadFunctions().Failed());
    }
    void TearDown() override { Sim("unwatch lustre"); }  // a watcher outlives no test

    // What failed, or "" on success.
    std::string Sim(const std::string& arguments)
    {
        const testsupport::Outcome o = testsupport::Shell("lustre-sim " + arguments);
        return o.status == 0 ? "" : o.err + "exit " + std::to_string(o.status);
    }

    TempDir dir;
    ScopedEnv path;
    ScopedEnv state;
};

TEST_P(WatchedChain, RecordsMatchWhatWasDoneToTheFile)
{
    const std::string report = dir / "mnt/report.txt", final = dir / "mnt/final.txt";
    ASSERT_EQ(Sim("watch lustre"), "");
    std::ofstream(report) << "draft\n";
    LustreAPI::CLustreFID fid;
    ASSERT_FALSE(LustreAPI::GetFIDFromPath(report, fid).Failed());
    ASSERT_EQ(std::rename(report.c_str(), final.c_str()), 0);
    ASSERT_EQ(std::remove(final.c_str()), 0);
    ASSERT_EQ(Sim("unwatch lustre"), "");

    std::vector<LustreAPI::CChangelogRecord> records;
    ASSERT_FALSE(LustreAPI::ReadChangelogs("lustre-MDT0000", "", "", records).Failed());
    // What a consumer acts on, one line a record. Files below the root: the
    // root's MDT; 2.11 clients added the owner.
    std::vector<std::string> read;
    for (const auto& r : records)
        read.push_back(r.m_typeName + " " + std::to_string(r.m_flags) + " t=" + r.m_target.Text() +
                       " p=" + r.m_parent.Text() + " " + r.m_name + " s=" + r.m_source.Text() + " " + r.m_sourceName +
                       " u=" + std::to_string(r.m_uid));
    const std::string t = fid.Text(), root = "[0x200000007:0x1:0x0]", none = "[0x0:0x0:0x0]";
    const std::string u =
        " u=" +
        std::to_string(std::stoi(std::string(GetParam()).substr(2)) >= 11 ? static_cast<long long>(getuid()) : -1LL);
    EXPECT_EQ(read,
              (std::vector<std::string>{"CREAT 0 t=" + t + " p=" + root + " report.txt s=" + none + " " + u,
                                        "CLOSE 2 t=" + t + " p=" + none + "  s=" + none + " " + u,
                                        "RENME 0 t=" + none + " p=" + root + " final.txt s=" + t + " report.txt" + u,
                                        "UNLNK 1 t=" + t + " p=" + root + " final.txt s=" + none + " " + u}));
}

INSTANTIATE_TEST_SUITE_P(Versions, WatchedChain, ::testing::Values("2.6", "2.10", "2.12", "2.15", "2.16", "2.17"),
                         [](const auto& info) { return "Lustre" + std::string(info.param).replace(1, 1, ""); });

}  // namespace
