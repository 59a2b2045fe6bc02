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

// A file system with MDT lustre-MDT0000 on server mds1, the clock fixed.
struct StandIn {
    explicit StandIn(const std::string& version) {
        Sh("lustre-sim init " + dir / "state" + " --version " + version + " && lustre-sim add-fs lustre && " +
               "lustre-sim mount lustre " + dir / "mnt" + " && lustre-sim add-mds lustre 0 mds1 192.168.0.1@tcp && " +
               "lustre-sim allow-login root mds1 && lustre-sim set-time " + std::to_string(kStartTime),
           0);
    }
    testsupport::Outcome Sh(const std::string& command, int expectedStatus = -1) const {
        const testsupport::Outcome outcome = testsupport::Shell(command);
        EXPECT_TRUE(expectedStatus < 0 || outcome.status == expectedStatus) << command << ": " << outcome.err;
        return outcome;
    }
    void Sim(const std::string& arguments) const { Sh("lustre-sim " + arguments, 0); }

    TempDir dir;
    ScopedEnv path{"PATH", kSimBin + ":/usr/bin:/bin"};
    ScopedEnv state{"LUSTRE_SIM_STATE", dir / "state"};
};

std::vector<std::string> Versions() { return {"2.5", "2.10", "2.12", "2.15", "2.16", "2.17", "2.18"}; }

struct ClearCase {
    int fromMinor = 0, toMinor = 0;
    std::string args, after, err;
    int status = 0;
};

std::vector<ClearCase> ClearCases() {
    const std::string help = "Indicate that old changelog records up to <endrec> are no longer of interest to "
                             "consumer <id>, allowing the system to free up space.\nAn <endrec> of 0 means all "
                             "records.\nusage: changelog_clear <mdtname> <id> <endrec>\n";
    std::vector<ClearCase> cases;
    for (const std::string& line : ReadLines(std::string(CONSUMER_DATA_DIR) + "/changelog_clear.txt")) {
        if (line.empty()) continue;
        if (line[0] == '>' && !cases.empty()) {
            const std::string text = line.size() > 2 ? line.substr(2) : "";
            cases.back().err += text == "%help" ? help : text + "\n";
        } else if (line[0] != '#') {
            ClearCase c;
            const std::size_t a = line.find(" | "), b = line.find(" | ", a + 3), d = line.find(" | ", b + 3);
            c.fromMinor = std::atoi(line.c_str());
            c.toMinor = std::atoi(line.c_str() + line.find('-') + 1);
            c.args = line.substr(a + 3, b - a - 3);
            c.status = std::atoi(line.c_str() + b + 3);
            c.after = line.substr(d + 3);
            cases.push_back(c);
        }
    }
    return cases;
}

TEST(ChangelogClearStandIn, AnswersAsEachVersion) {
    const std::vector<ClearCase> cases = ClearCases();
    ASSERT_GE(cases.size(), 20u);
    for (const std::string version : {"2.10", "2.12", "2.15", "2.16", "2.18"}) {
        for (const ClearCase& c : cases) {
            if (Minor(version) < c.fromMinor || Minor(version) > c.toMinor) continue;
            SCOPED_TRACE(version + ": lfs changelog_clear lustre-MDT0000 " + c.args);
            StandIn sim(version);
            sim.Sh("lctl --device lustre-MDT0000 changelog_register && lctl --device lustre-MDT0000 "
                   "changelog_register && lustre-sim changelog-append lustre-MDT0000 CREAT --count 5", 0);
            const testsupport::Outcome o = sim.Sh("lfs changelog_clear lustre-MDT0000 " + c.args);
            std::string err = c.err;
            for (std::size_t p; (p = err.find("%p")) != std::string::npos;)
                err.replace(p, 2, Minor(version) >= 12 ? "lfs changelog_clear: " : "");
            EXPECT_EQ(o.status, c.status);
            EXPECT_EQ(o.err, err);
            EXPECT_EQ(sim.Sh("lctl get_param -n mdd.lustre-MDT0000.changelog_users | awk '/^cl/ {printf \"%s \", $2}'; "
                             "lfs changelog lustre-MDT0000 | head -1 | cut -d' ' -f1", 0).out,
                      c.after + "\n");
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
    EXPECT_EQ(records[0].m_name, "file with spaces");
    EXPECT_EQ(records[2].m_name + "/" + records[2].m_sourceName, "new name/file with spaces");

    // Acts on the first two, acknowledges them, and "restarts": only the
    // reader's index on the server tells where to go on.
    ASSERT_FALSE(LustreAPI::ClearChangelog(mdt, reader, std::to_string(records[1].m_index)).Failed());
    index = ReaderIndex(reader, listed);
    EXPECT_EQ(index, 3u);
    records.clear();
    ASSERT_FALSE(LustreAPI::ReadChangelogs(mdt, "1", "", records).Failed());
    EXPECT_THAT(Indexes(records), ElementsAre(4));  // 1 to 3 are purged: no reader needs them

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
