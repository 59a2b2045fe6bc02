// The consumer against the stand-in tools: "lfs changelog_clear" as each
// Lustre version answers it (data/changelog_clear.txt), and the whole
// consumer loop through the library (register, read as values, acknowledge,
// resume from the reader's index, deregister) once per imitated version.
#include <algorithm>
#include <cstdlib>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChangelogTestSupport.h"
#include "LustreAPI.h"

using namespace changelog_test;
using ::testing::ElementsAre;

namespace {

// A file system with MDT lustre-MDT0000 on server mds1, the clock fixed, and
// the two readers the clear cases need when readers is set.
struct StandIn {
    explicit StandIn(const std::string& version, bool readers = false) {
        Sh("lustre-sim init " + dir / "state" + " --version " + version + " && lustre-sim add-fs lustre && " +
           "lustre-sim mount lustre " + dir / "mnt" + " && lustre-sim add-mds lustre 0 mds1 192.168.0.1@tcp && " +
           "lustre-sim allow-login root mds1 && lustre-sim set-time 1700000000" +
           (readers ? " && lctl --device lustre-MDT0000 changelog_register && lctl --device lustre-MDT0000 "
                      "changelog_register && lustre-sim changelog-append lustre-MDT0000 CREAT --count 5 >/dev/null"
                    : ""));
    }
    testsupport::Outcome Sh(const std::string& command, bool mustSucceed = true) const {
        const testsupport::Outcome outcome = testsupport::Shell(command);
        EXPECT_TRUE(!mustSucceed || outcome.status == 0) << command << ": " << outcome.err;
        return outcome;
    }

    TempDir dir;
    ScopedEnv path{"PATH", std::string(SIM_BIN_DIR) + ":/usr/bin:/bin"};
    ScopedEnv state{"LUSTRE_SIM_STATE", dir / "state"};
};

TEST(ChangelogClearStandIn, AnswersAsEachVersion) {
    const std::string help = "Indicate that old changelog records up to <endrec> are no longer of interest to "
                             "consumer <id>, allowing the system to free up space.\nAn <endrec> of 0 means all "
                             "records.\nusage: changelog_clear <mdtname> <id> <endrec>\n";
    const std::vector<std::string> lines = ReadLines(CONSUMER_DATA_DIR "/changelog_clear.txt");
    int cases = 0;
    for (const int minor : {10, 12, 15, 16, 18}) {
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            const size_t a = line.find(" | "), b = line.find(" | ", a + 3), d = line.find(" | ", b + 3);
            if (line.empty() || line[0] == '#' || line[0] == '>' || d == std::string::npos) continue;
            if (minor < std::atoi(line.c_str()) || minor > std::atoi(line.c_str() + line.find('-') + 1)) continue;
            std::string err;
            for (size_t j = i + 1; j < lines.size() && lines[j].rfind(">", 0) == 0; ++j) {
                std::string text = lines[j].size() > 2 ? lines[j].substr(2) : "";
                if (text.rfind("%p", 0) == 0) text = (minor >= 12 ? "lfs changelog_clear: " : "") + text.substr(2);
                err += text == "%help" ? help : text + "\n";
            }
            SCOPED_TRACE("2." + std::to_string(minor) + ": " + line);
            ++cases;
            StandIn sim("2." + std::to_string(minor), true);
            const testsupport::Outcome o = sim.Sh("lfs changelog_clear lustre-MDT0000 " + line.substr(a + 3, b - a - 3), false);
            EXPECT_EQ(o.status, std::atoi(line.c_str() + b + 3));
            EXPECT_EQ(o.err, err);
            EXPECT_EQ(sim.Sh("lctl get_param -n mdd.lustre-MDT0000.changelog_users | awk '/^cl/ {printf \"%s \", $2}'; "
                             "lfs changelog lustre-MDT0000 | head -1 | cut -d' ' -f1").out,
                      line.substr(d + 3) + "\n");
        }
    }
    EXPECT_GE(cases, 80);
    // Clearing restarts the idle time of the cleared reader only.
    StandIn sim("2.12", true);
    EXPECT_EQ(sim.Sh("lustre-sim set-time 1700000060 && lfs changelog_clear lustre-MDT0000 cl2 4 && "
                     "lctl get_param -n mdd.lustre-MDT0000.changelog_users").out,
              "current index: 5\nID    index (idle seconds)\ncl1   0 (60)\ncl2   4 (0)\n");
}

class ConsumerLoop : public ::testing::TestWithParam<std::string> {};

// What a consumer keeps of its reader between runs is only its id: the
// reader's index on the server ("none" once it is gone).
std::string ReaderIndex(const std::string& reader) {
    unsigned long long current = 0;
    std::vector<LustreAPI::CChangelogUser> users;
    EXPECT_FALSE(LustreAPI::GetChangelogUsers("mds1", "lustre-MDT0000", "lustre", "root", current, users).Failed());
    const auto found = std::find_if(users.begin(), users.end(), [&](const auto& u) { return u.m_id == reader; });
    return found == users.end() ? "none" : std::to_string(found->m_index);
}

std::string Read(const std::string& start) {
    std::vector<LustreAPI::CChangelogRecord> records;
    EXPECT_FALSE(LustreAPI::ReadChangelogs("lustre-MDT0000", start, "", records).Failed());
    std::string text;
    for (const auto& r : records) text += std::to_string(r.m_index) + " " + r.m_name + "/" + r.m_sourceName + ";";
    return text;
}

TEST_P(ConsumerLoop, ReadsAcknowledgesAndResumes) {
    StandIn sim(GetParam());
    RecordingLogWriter log;
    const std::string mdt = "lustre-MDT0000";
    sim.Sh("lustre-sim changelog-append " + mdt + " MKDIR --name before");  // not this reader's concern
    std::string reader;
    ASSERT_FALSE(LustreAPI::RegisterChangelog("mds1", mdt, "lustre", "root", reader).Failed());
    sim.Sh("lustre-sim changelog-append " + mdt + " CREAT --name 'file with spaces' --count 2 && lustre-sim "
           "changelog-append " + mdt + " RENME --name 'new name' --sfid 0x200000400:0x2:0x0 --sparent "
           "0x200000007:0x1:0x0 --sname 'file with spaces'");
    ASSERT_EQ(ReaderIndex(reader), "1");
    EXPECT_EQ(Read("2"), "2 file with spaces/;3 file with spaces/;4 new name/file with spaces;");
    // Acts on the first two, acknowledges them, and "restarts": only the
    // reader's index on the server tells where to go on.
    ASSERT_FALSE(LustreAPI::ClearChangelog(mdt, reader, "3").Failed());
    EXPECT_EQ(ReaderIndex(reader), "3");
    EXPECT_EQ(Read("1"), "4 new name/file with spaces;");  // 1 to 3 are purged: no reader needs them
    ASSERT_FALSE(LustreAPI::ClearChangelog(mdt, reader, "0").Failed());
    EXPECT_EQ(ReaderIndex(reader), "4");
    EXPECT_EQ(Read("1"), "");
    ASSERT_FALSE(LustreAPI::DeRegisterChangelog("mds1", mdt, "lustre", "root", reader).Failed());
    EXPECT_EQ(ReaderIndex(reader), "none");
    EXPECT_TRUE(LustreAPI::ClearChangelog(mdt, reader, "0").Failed());
}

INSTANTIATE_TEST_SUITE_P(Versions, ConsumerLoop, ::testing::Values("2.5", "2.10", "2.12", "2.15", "2.16", "2.17", "2.18"),
                         [](const auto& info) { return "Lustre" + std::string(info.param).replace(1, 1, ""); });

}  // namespace
