// The consumer against the stand-in tools: "lfs changelog_clear" as each
// Lustre version answers it, and the whole consumer loop through the library
// (register, read as values, acknowledge, resume from the reader's index,
// deregister) once per imitated version.
#include <algorithm>
#include <cstdlib>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChangelogTestSupport.h"
#include "LustreAPI.h"

using namespace changelog_test;
using ::testing::ElementsAre;

namespace {

const std::string kSimBin = SIM_BIN_DIR;
const long kStartTime = 1700000000;

int Minor(const std::string& version) { return std::atoi(version.c_str() + 2); }

class StandIn {
public:
    explicit StandIn(const std::string& version) {
        Sh("lustre-sim init " + dir / "state" + " --version " + version + " && lustre-sim add-fs lustre && " +
               "lustre-sim mount lustre " + dir / "mnt" + " && lustre-sim add-mds lustre 0 mds1 192.168.0.1@tcp && " +
               "lustre-sim allow-login root mds1 && lustre-sim set-time " + std::to_string(kStartTime),
           0);
    }
    std::string Sim(const std::string& arguments) const { return Sh("lustre-sim " + arguments, 0).out; }
    testsupport::Outcome Sh(const std::string& command, int expectedStatus = -1) const {
        const testsupport::Outcome outcome = testsupport::Shell(command);
        if (expectedStatus >= 0) {
            EXPECT_EQ(outcome.status, expectedStatus) << command << ": " << outcome.err;
        }
        return outcome;
    }

    TempDir dir;
    ScopedEnv path{"PATH", kSimBin + ":/usr/bin:/bin"};
    ScopedEnv state{"LUSTRE_SIM_STATE", dir / "state"};
};

std::vector<std::string> Versions() { return {"2.5", "2.10", "2.12", "2.15", "2.16", "2.17", "2.18"}; }

// lfs changelog_clear with readers cl1 and cl2 at 0 and records 1 to 5.
// "%p" in stderr is liblustreapi's program prefix (2.12 on).
TEST(ChangelogClearStandIn, AnswersAsEachVersion) {
    const std::string help = "Indicate that old changelog records up to <endrec> are no longer of interest to "
                             "consumer <id>, allowing the system to free up space.\nAn <endrec> of 0 means all "
                             "records.\nusage: changelog_clear <mdtname> <id> <endrec>\n";
    const std::string noUser9 = "%pcannot purge records for 'cl9': No such file or directory (2)\n"
                                "changelog_clear: no changelog user: cl9\n";
    struct Row {
        int fromMinor, toMinor;
        std::string args;
        int status;
        std::string err;
        std::string after;  // cl1's index, cl2's index, the first record left
    } rows[] = {
        {0, 99, "cl1 3", 0, "", "3 0 1"},
        {0, 99, "cl2 3", 0, "", "0 3 1"},
        {0, 99, "cl1 0", 0, "", "5 0 1"},
        {0, 99, "cl1 abc", 0, "", "5 0 1"},  // lfs reads garbage as 0: everything
        {0, 99, "cl1 ''", 0, "", "5 0 1"},
        {0, 99, "cl1 2abc", 0, "", "2 0 1"},
        {0, 99, "cl1 9", 22, "%pcannot purge records for 'cl1': Invalid argument (22)\n"
                             "changelog_clear: record out of range: 9\n", "0 0 1"},
        {0, 99, "cl9 9", 22, "%pcannot purge records for 'cl9': Invalid argument (22)\n"
                             "changelog_clear: record out of range: 9\n", "0 0 1"},
        {0, 99, "cl9 3", 2, noUser9, "0 0 1"},
        {0, 99, "1 3", 22, "%pcannot purge records for '1': Invalid argument (22)\n"
                           "changelog_clear: record out of range: 3\n", "0 0 1"},
        {0, 14, "cl1-x 3", 22, "%pcannot purge records for 'cl1-x': Invalid argument (22)\n"
                               "changelog_clear: record out of range: 3\n", "0 0 1"},
        {15, 99, "cl1-x 3", 0, "", "3 0 1"},
        {0, 14, "cl1 -5", 22, "%pcan't purge negative records\n\nchangelog_clear: record out of range: "
                              "18446744073709551611\n", "0 0 1"},
        {15, 15, "cl1 -5", 4, "changelog_clear: bad endrec '-5'\n" + help, "0 0 1"},
        {16, 99, "cl1 -5", 4, "changelog_clear: bad endrec '-5'\n", "0 0 1"},
        {0, 14, "cl1 9223372036854775808", 22, "%pcannot purge records for 'cl1': Invalid argument (22)\n"
                                               "changelog_clear: record out of range: 9223372036854775807\n", "0 0 1"},
        {15, 15, "cl1 9223372036854775808", 4, "changelog_clear: bad endrec '9223372036854775808'\n" + help, "0 0 1"},
        {16, 99, "cl1 9223372036854775808", 4, "changelog_clear: bad endrec '9223372036854775808'\n", "0 0 1"},
        {0, 15, "cl1", 4, help, "0 0 1"},
        {16, 99, "cl1", 4, "", "0 0 1"},  // the help goes to stdout
        {0, 99, "cl1 3 && lfs changelog_clear lustre-MDT0009 cl1 3", 2,
         "%pcannot open '/dev/changelog-lustre-MDT0009': No such file or directory (2)\n"
         "changelog_clear: no changelog user: cl1\n", "3 0 1"},
        {0, 99, "cl1 3 && lfs changelog_clear lustre-MDT0000 cl2 4", 0, "", "3 4 4"},  // purged up to 3
        {0, 17, "cl1 3 && lfs changelog_clear lustre-MDT0000 cl1 2", 22,
         "%pcannot purge records for 'cl1': Invalid argument (22)\nchangelog_clear: record out of range: 2\n",
         "3 0 1"},
        {18, 99, "cl1 3 && lfs changelog_clear lustre-MDT0000 cl1 2", 2,
         "%pcannot purge records for 'cl1': No such file or directory (2)\nchangelog_clear: no changelog user: cl1\n",
         "3 0 1"},
        {0, 99, "cl1 3 && lfs changelog_clear lustre-MDT0000 cl1 3", 0, "", "3 0 1"},
    };
    for (const std::string version : {"2.10", "2.12", "2.15", "2.16", "2.18"}) {
        for (const Row& row : rows) {
            if (Minor(version) < row.fromMinor || Minor(version) > row.toMinor) continue;
            SCOPED_TRACE(version + ": lfs changelog_clear lustre-MDT0000 " + row.args);
            StandIn sim(version);
            sim.Sh("lctl --device lustre-MDT0000 changelog_register && "
                   "lctl --device lustre-MDT0000 changelog_register && "
                   "lustre-sim changelog-append lustre-MDT0000 CREAT --count 5",
                   0);
            const testsupport::Outcome o = sim.Sh("lfs changelog_clear lustre-MDT0000 " + row.args);
            std::string err = row.err;
            const std::size_t p = err.find("%p");
            if (p != std::string::npos) err.replace(p, 2, Minor(version) >= 12 ? "lfs changelog_clear: " : "");
            EXPECT_EQ(o.status, row.status);
            EXPECT_EQ(o.err, err);
            const std::string after =
                sim.Sh("lctl get_param -n mdd.lustre-MDT0000.changelog_users | awk '/^cl/ {printf \"%s \", $2}'; "
                       "lfs changelog lustre-MDT0000 | head -1 | cut -d' ' -f1", 0)
                    .out;
            EXPECT_EQ(after, row.after + "\n");
        }
    }
}

TEST(ChangelogClearStandIn, RestartsTheIdleTimeOfTheClearedReaderOnly) {
    StandIn sim("2.12");
    sim.Sh("lctl --device lustre-MDT0000 changelog_register && lctl --device lustre-MDT0000 changelog_register", 0);
    sim.Sim("changelog-append lustre-MDT0000 CREAT --count 5");
    sim.Sim("set-time " + std::to_string(kStartTime + 60));
    sim.Sh("lfs changelog_clear lustre-MDT0000 cl2 4", 0);
    EXPECT_EQ(sim.Sh("lctl get_param -n mdd.lustre-MDT0000.changelog_users", 0).out,
              "current index: 5\nID    index (idle seconds)\ncl1   0 (60)\ncl2   4 (0)\n");
}

class ConsumerLoop : public ::testing::TestWithParam<std::string> {};

// What a consumer keeps of its reader between runs: nothing but its id.
unsigned long long ReaderIndex(const std::string& reader, bool& listed) {
    unsigned long long current = 0;
    std::vector<LustreAPI::CChangelogUser> users;
    const CKxError error = LustreAPI::GetChangelogUsers("mds1", "lustre-MDT0000", "lustre", "root", current, users);
    EXPECT_FALSE(error.Failed()) << error.ToString();
    const auto found = std::find_if(users.begin(), users.end(), [&](const auto& u) { return u.m_id == reader; });
    listed = found != users.end();
    return listed ? found->m_index : 0;
}

std::vector<unsigned long long> Indexes(const std::vector<LustreAPI::CChangelogRecord>& records) {
    std::vector<unsigned long long> indexes;
    for (const auto& r : records) indexes.push_back(r.m_index);
    return indexes;
}

TEST_P(ConsumerLoop, ReadsAcknowledgesAndResumes) {
    StandIn sim(GetParam());
    RecordingLogWriter log;
    const std::string mdt = "lustre-MDT0000";
    sim.Sim("changelog-append " + mdt + " MKDIR --name before");  // not this reader's concern
    std::string reader;
    ASSERT_FALSE(LustreAPI::RegisterChangelog("mds1", mdt, "lustre", "root", reader).Failed());
    sim.Sim("changelog-append " + mdt + " CREAT --name 'file with spaces' --count 2");
    sim.Sim("changelog-append " + mdt + " RENME --name 'new name' --sfid 0x200000400:0x2:0x0 --sparent "
            "0x200000007:0x1:0x0 --sname 'file with spaces'");

    bool listed = false;
    unsigned long long index = ReaderIndex(reader, listed);
    ASSERT_TRUE(listed);
    EXPECT_EQ(index, 1u);
    std::vector<LustreAPI::CChangelogRecord> records;
    ASSERT_FALSE(LustreAPI::ReadChangelogs(mdt, std::to_string(index + 1), "", records).Failed());
    ASSERT_THAT(Indexes(records), ElementsAre(2, 3, 4));
    EXPECT_EQ(records[0].m_typeName, "CREAT");
    EXPECT_EQ(records[0].m_name, "file with spaces");
    EXPECT_EQ(records[2].m_type, 8);
    EXPECT_EQ(records[2].m_name, "new name");
    EXPECT_EQ(records[2].m_sourceName, "file with spaces");
    EXPECT_EQ(records[2].m_source.m_oid, 2u);

    // Acts on the first two, acknowledges them, and "restarts": only the
    // reader's index on the server tells where to go on.
    ASSERT_FALSE(LustreAPI::ClearChangelog(mdt, reader, std::to_string(records[1].m_index)).Failed());
    index = ReaderIndex(reader, listed);
    EXPECT_EQ(index, 3u);
    records.clear();
    ASSERT_FALSE(LustreAPI::ReadChangelogs(mdt, "1", "", records).Failed());
    EXPECT_THAT(Indexes(records), ElementsAre(4));  // 1 to 3 are purged: no reader needs them
    records.clear();
    ASSERT_FALSE(LustreAPI::ReadChangelogs(mdt, std::to_string(index + 1), "", records).Failed());
    EXPECT_THAT(Indexes(records), ElementsAre(4));

    ASSERT_FALSE(LustreAPI::ClearChangelog(mdt, reader, "0").Failed());
    EXPECT_EQ(ReaderIndex(reader, listed), 4u);
    records.clear();
    ASSERT_FALSE(LustreAPI::ReadChangelogs(mdt, "1", "", records).Failed());
    EXPECT_TRUE(records.empty());

    ASSERT_FALSE(LustreAPI::DeRegisterChangelog("mds1", mdt, "lustre", "root", reader).Failed());
    ReaderIndex(reader, listed);
    EXPECT_FALSE(listed);
    EXPECT_TRUE(LustreAPI::ClearChangelog(mdt, reader, "0").Failed());
}

INSTANTIATE_TEST_SUITE_P(Versions, ConsumerLoop, ::testing::ValuesIn(Versions()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = "Lustre" + info.param;
                             name.erase(std::remove(name.begin(), name.end(), '.'), name.end());
                             return name;
                         });

}  // namespace
