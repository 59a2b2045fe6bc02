// The whole changelog chain against the stand-in lctl, lfs and ssh, once per
// imitated Lustre version: discover the MDTs, register a reader, read the
// indexes, let records arrive, dump a range, deregister.
#include <gmock/gmock.h>
#include <gtest/gtest.h>


#include "ChangelogTestSupport.h"
#include "LustreAPI.h"

using namespace changelog_test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

const std::string kSimBin = SIM_BIN_DIR;

class StandInChain : public ::testing::TestWithParam<const char*> {
protected:
    StandInChain()
        : path("PATH", kSimBin + ":" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")),
          state("LUSTRE_SIM_STATE", dir / "state"),
          argvLog("LUSTRE_SIM_ARGV_LOG", dir / "argv.log") {}

    void SetUp() override {
        if (!Exists(kSimBin + "/lustre-sim")) GTEST_SKIP() << "the stand-in tools were not built in " << kSimBin;
        Sim("init " + dir / "state" + " --version " + GetParam());
        // The servers are reached by the addresses that the mdc devices show.
        const std::vector<std::string> steps = {
            "add-fs lustre --mdts 2", "add-fs lustre2 --mdts 1", "mount lustre " + dir / "mnt",
            "mount lustre " + dir / "mnt-again", "mount lustre2 " + dir / "mnt2",
            "add-mds lustre 0 192.168.0.1 192.168.0.1@tcp", "add-mds lustre 1 192.168.0.2 192.168.0.2@tcp",
            "add-mds lustre2 0 192.168.0.9 192.168.0.9@tcp", "allow-login root 192.168.0.1",
            "allow-login root 192.168.0.2"};
        for (const std::string& step : steps) Sim(step);
        std::remove((dir / "argv.log").c_str());
    }

    void Sim(const std::string& arguments) {
        const testsupport::Outcome outcome = testsupport::Shell("lustre-sim " + arguments);
        EXPECT_EQ(outcome.status, 0) << "lustre-sim " << arguments << ": " << outcome.err;
    }

    TempDir dir;
    ScopedEnv path;
    ScopedEnv state;
    ScopedEnv argvLog;
    RecordingLogWriter log;
};

TEST_P(StandInChain, RunsFromDiscoveryToDeregistration) {
    std::vector<std::string> names;
    std::vector<std::string> servers;
    ASSERT_FALSE(LustreAPI::GetMDTList("lustre", names, servers).Failed());
    EXPECT_THAT(names, ElementsAre("lustre-MDT0000", "lustre-MDT0001"));
    ASSERT_THAT(servers, ElementsAre("192.168.0.1", "192.168.0.2"));

    for (std::size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        const std::string& mdt = names[i];
        const std::string& host = servers[i];
        // Records written before the reader exists are not its concern.
        Sim("changelog-append " + mdt + " MKDIR --name before --count 2");

        std::string reader;
        ASSERT_FALSE(LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", reader).Failed());
        EXPECT_EQ(reader, "cl1");
        std::string other;
        ASSERT_FALSE(LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", other).Failed());
        EXPECT_EQ(other, "cl2");

        std::string current;
        ASSERT_FALSE(LustreAPI::GetChangelogCurrentIndex(host, mdt, "lustre", "root", current).Failed());
        EXPECT_EQ(current, "2");

        Sim("changelog-append " + mdt + " CREAT --name file --count 5");
        std::string start;
        std::string end;
        ASSERT_FALSE(
            LustreAPI::GetStartAndEndChangelogRecordNumbers(host, mdt, "lustre", "root", reader, start, end).Failed());
        EXPECT_EQ(start, "2");
        EXPECT_EQ(end, "7");

        const std::string file = dir / (mdt + ".records");
        ASSERT_FALSE(LustreAPI::GetChangelogs(mdt, "", "3", end, file).Failed());
        std::vector<std::string> indexes;
        for (const std::string& line : ReadLines(file)) {
            EXPECT_THAT(line, HasSubstr("01CREAT"));
            indexes.push_back(line.substr(0, line.find(' ')));
        }
        EXPECT_THAT(indexes, ElementsAre("3", "4", "5", "6", "7"));

        ASSERT_FALSE(LustreAPI::DeRegisterChangelog(host, mdt, "lustre", "root", reader).Failed());
        EXPECT_EQ(reader, "cl1");
        start.clear();
        const CKxError gone =
            LustreAPI::GetStartAndEndChangelogRecordNumbers(host, mdt, "lustre", "root", reader, start, end);
        EXPECT_TRUE(IsError774(gone, "Cannot find the changelog reader cl1 in the MDT " + mdt + " for Lustre FS lustre",
                               kStartAndEndFunction));
        // cl2 still reads: a reader whose name begins with cl1's would not be cl1.
        ASSERT_FALSE(LustreAPI::DeRegisterChangelog(host, mdt, "lustre", "root", other).Failed());
    }
}

TEST_P(StandInChain, CommandLinesReachTheToolsExactly) {
    std::string reader;
    ASSERT_FALSE(LustreAPI::RegisterChangelog("192.168.0.1", "lustre-MDT0000", "lustre", "root", reader).Failed());
    std::string current;
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

TEST_P(StandInChain, ToolFailuresComeBackWithTheirLogLines) {
    std::string reader = "unchanged";
    const CKxError refused = LustreAPI::RegisterChangelog("192.168.0.9", "lustre2-MDT0000", "lustre2", "root", reader);
    const std::string failed = "Command ssh root@192.168.0.9 'lctl --device lustre2-MDT0000 changelog_register' "
                               "failed with Error root@192.168.0.9: Permission denied (publickey).\n";
    EXPECT_TRUE(IsError774(refused, failed, kRunCommandFunction));
    EXPECT_THAT(log.Texts(),
                ElementsAre(failed,
                            "Cannot register the changelog in MDT lustre2-MDT0000 for the Filesystem lustre2 on host "
                            "192.168.0.9",
                            "Check whether keyless ssh is enabled for the user root on the host 192.168.0.9"));
    EXPECT_EQ(reader, "unchanged");

    // An MDT that the server does not serve.
    std::string current = "unchanged";
    EXPECT_TRUE(
        LustreAPI::GetChangelogCurrentIndex("192.168.0.1", "lustre-MDT0001", "lustre", "root", current).Failed());
    EXPECT_EQ(current, "unchanged");

    // A user that was never registered.
    std::string unknown = "cl7";
    const CKxError notFound = LustreAPI::DeRegisterChangelog("192.168.0.1", "lustre-MDT0000", "lustre", "root", unknown);
    ASSERT_TRUE(notFound.Failed());
    EXPECT_THAT(notFound.GetMessages().at(0), HasSubstr("changelog_deregister"));

    std::vector<std::string> names;
    std::vector<std::string> servers;
    EXPECT_TRUE(LustreAPI::GetMDTList("nosuch", names, servers).Failed());
    EXPECT_THAT(names, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Versions, StandInChain, ::testing::Values("2.10", "2.12", "2.15", "2.16"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = std::string("Lustre") + info.param;
                             name.erase(std::remove(name.begin(), name.end(), '.'), name.end());
                             return name;
                         });

}  // namespace
