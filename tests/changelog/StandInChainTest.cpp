// The whole changelog chain against the stand-in lctl, lfs and ssh, once per
// imitated Lustre version: discover the MDTs, register readers, read the
// indexes, let records arrive, dump a range, deregister; and the argument
// vectors that reach the tools.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChangelogTestSupport.h"
#include "LustreAPI.h"

using namespace changelog_test;
using ::testing::ElementsAre;

namespace {

const std::string kSimBin = SIM_BIN_DIR;

class StandInChain : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (!Exists(kSimBin + "/lustre-sim")) GTEST_SKIP() << "the stand-in tools were not built in " << kSimBin;
        // Two mounts of lustre, one of lustre2; servers named by the addresses the mdc devices show.
        Sim("init " + dir / "state" + " --version " + GetParam() + " && lustre-sim add-fs lustre --mdts 2 && " +
            "lustre-sim add-fs lustre2 && lustre-sim mount lustre " + dir / "mnt" + " && lustre-sim mount lustre " +
            dir / "mnt-again" + " && lustre-sim mount lustre2 " + dir / "mnt2" +
            " && lustre-sim add-mds lustre 0 192.168.0.1 192.168.0.1@tcp && lustre-sim add-mds lustre 1 "
            "192.168.0.2 192.168.0.2@tcp && lustre-sim add-mds lustre2 0 192.168.0.9 192.168.0.9@tcp && "
            "lustre-sim allow-login root 192.168.0.1 && lustre-sim allow-login root 192.168.0.2");
        std::remove((dir / "argv.log").c_str());
    }

    void Sim(const std::string& arguments) {
        const testsupport::Outcome outcome = testsupport::Shell("lustre-sim " + arguments);
        EXPECT_EQ(outcome.status, 0) << "lustre-sim " << arguments << ": " << outcome.err;
    }

    TempDir dir;
    ScopedEnv path{"PATH", kSimBin + ":/usr/bin:/bin"};
    ScopedEnv state{"LUSTRE_SIM_STATE", dir / "state"};
    ScopedEnv argvLog{"LUSTRE_SIM_ARGV_LOG", dir / "argv.log"};
    RecordingLogWriter log;
};

TEST_P(StandInChain, RunsFromDiscoveryToDeregistration) {
    std::vector<std::string> names, servers;
    ASSERT_FALSE(LustreAPI::GetMDTList("lustre", names, servers).Failed());
    EXPECT_THAT(names, ElementsAre("lustre-MDT0000", "lustre-MDT0001"));
    ASSERT_THAT(servers, ElementsAre("192.168.0.1", "192.168.0.2"));
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string &mdt = names[i], &host = servers[i];
        SCOPED_TRACE(mdt);
        Sim("changelog-append " + mdt + " MKDIR --name before --count 2");  // before the reader: not its concern
        std::string reader, other, current, start, end;
        ASSERT_FALSE(LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", reader).Failed());
        ASSERT_FALSE(LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", other).Failed());
        ASSERT_FALSE(LustreAPI::GetChangelogCurrentIndex(host, mdt, "lustre", "root", current).Failed());
        Sim("changelog-append " + mdt + " CREAT --name file --count 5");
        ASSERT_FALSE(
            LustreAPI::GetStartAndEndChangelogRecordNumbers(host, mdt, "lustre", "root", reader, start, end).Failed());
        EXPECT_EQ(reader + " " + other + " " + current + " " + start + " " + end, "cl1 cl2 2 2 7");

        const std::string file = dir / (mdt + ".records");
        ASSERT_FALSE(LustreAPI::GetChangelogs(mdt, "", "3", end, file).Failed());
        std::string indexes;
        for (const std::string& line : ReadLines(file)) indexes += line.substr(0, line.find(' ')) + " ";
        EXPECT_EQ(indexes, "3 4 5 6 7 ");

        ASSERT_FALSE(LustreAPI::DeRegisterChangelog(host, mdt, "lustre", "root", reader).Failed());
        EXPECT_TRUE(IsError774(
            LustreAPI::GetStartAndEndChangelogRecordNumbers(host, mdt, "lustre", "root", reader, start, end),
            "Cannot find the changelog reader cl1 in the MDT " + mdt + " for Lustre FS lustre", kStartAndEndFunction));
        // cl2 still reads: a reader whose name begins with cl1's would not be cl1.
        ASSERT_FALSE(LustreAPI::DeRegisterChangelog(host, mdt, "lustre", "root", other).Failed());
    }
}

TEST_P(StandInChain, CommandLinesReachTheToolsExactly) {
    std::string reader, current;
    ASSERT_FALSE(LustreAPI::RegisterChangelog("192.168.0.1", "lustre-MDT0000", "lustre", "root", reader).Failed());
    ASSERT_FALSE(
        LustreAPI::GetChangelogCurrentIndex("192.168.0.1", "lustre-MDT0000", "lustre", "root", current).Failed());
    ASSERT_FALSE(LustreAPI::GetChangelogs("lustre-MDT0000", "", "", "", dir / "all").Failed());
    ASSERT_FALSE(LustreAPI::DeRegisterChangelog("192.168.0.1", "lustre-MDT0000", "lustre", "root", reader).Failed());
    EXPECT_THAT(ReadLines(dir / "argv.log"),
                ElementsAre(R"(["ssh","root@192.168.0.1","lctl --device lustre-MDT0000 changelog_register"])",
                            R"(["lctl","--device","lustre-MDT0000","changelog_register"])",
                            R"(["ssh","root@192.168.0.1","lctl get_param mdd.lustre-MDT0000.changelog_users"])",
                            R"(["lctl","get_param","mdd.lustre-MDT0000.changelog_users"])",
                            R"(["lfs","changelog","lustre-MDT0000"])",
                            R"(["ssh","root@192.168.0.1","lctl --device lustre-MDT0000 changelog_deregister cl1"])",
                            R"(["lctl","--device","lustre-MDT0000","changelog_deregister","cl1"])"));
}

INSTANTIATE_TEST_SUITE_P(Versions, StandInChain, ::testing::Values("2.10", "2.12", "2.15", "2.16"),
                         [](const auto& info) { return "Lustre" + std::string(info.param).replace(1, 1, ""); });

}  // namespace
