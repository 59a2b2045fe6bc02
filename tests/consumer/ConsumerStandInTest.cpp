// "lfs changelog_clear" of the stand-in as each Lustre version answers it
// (data/changelog_clear.txt). The consumer loop through the library runs in
// tests/changelog/StandInChainTest.
#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DataFiles.h"

using namespace testsupport;

namespace {

// A file system with MDT lustre-MDT0000 on server mds1, the clock fixed,
// readers cl1 and cl2 and five records.
struct StandIn {
    explicit StandIn(const std::string& version)
    {
        Sh("lustre-sim init " + dir / "state" + " --version " + version + " && lustre-sim add-fs lustre && " +
           "lustre-sim mount lustre " + dir / "mnt" + " && lustre-sim add-mds lustre 0 mds1 192.168.0.1@tcp && " +
           "lustre-sim allow-login root mds1 && lustre-sim set-time 1700000000 && lctl --device lustre-MDT0000 "
           "changelog_register && lctl --device lustre-MDT0000 changelog_register && lustre-sim changelog-append "
           "lustre-MDT0000 CREAT --count 5 >/dev/null");
    }
    testsupport::Outcome Sh(const std::string& command, bool mustSucceed = true) const
    {
        const testsupport::Outcome outcome = testsupport::Shell(command);
        EXPECT_TRUE(!mustSucceed || outcome.status == 0) << command << ": " << outcome.err;
        return outcome;
    }

    TempDir dir;
    ScopedEnv path{"PATH", std::string(SIM_BIN_DIR) + ":/usr/bin:/bin"};
    ScopedEnv state{"LUSTRE_SIM_STATE", dir / "state"};
};

TEST(ChangelogClearStandIn, AnswersAsEachVersion)
{
    const std::vector<DataRow> rows = ReadRows(CONSUMER_DATA_DIR "/changelog_clear.txt");
    const std::string prefix = "lfs changelog_clear: ";
    int cases = 0;
    for (const int minor : {10, 12, 15, 16, 18}) {
        for (const DataRow& row : rows) {
            const std::string& versions = row.fields.at(0);
            if (minor < std::stoi(versions) || minor > std::stoi(versions.substr(versions.find('-') + 1))) continue;
            const size_t a = row.expected.find(" | "), b = row.expected.find(" | ", a + 3);
            std::string err, lines = b == std::string::npos ? "" : row.expected.substr(b + 3);
            for (size_t at = 0, end; at < lines.size(); at = end) {
                end = std::min(lines.find('\n', at), lines.size() - 1) + 1;
                const std::string line = lines.substr(at, end - at);
                err += minor < 12 && line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : line;
            }
            SCOPED_TRACE("2." + std::to_string(minor) + ": " + row.line);
            ++cases;
            StandIn sim("2." + std::to_string(minor));
            const testsupport::Outcome o = sim.Sh("lfs changelog_clear lustre-MDT0000 " + row.fields.at(1), false);
            EXPECT_EQ(o.status, std::stoi(row.expected));
            EXPECT_EQ(o.err, err);
            EXPECT_EQ(sim.Sh("lctl get_param -n mdd.lustre-MDT0000.changelog_users | awk '/^cl/ {printf \"%s \", $2}'; "
                             "lfs changelog lustre-MDT0000 | head -1 | cut -d' ' -f1")
                          .out,
                      row.expected.substr(a + 3, b - a - 3) + "\n");
        }
    }
    EXPECT_GE(cases, 80);
    // Clearing restarts the idle time of the cleared reader only.
    StandIn sim("2.12");
    EXPECT_EQ(sim.Sh("lustre-sim set-time 1700000060 && lfs changelog_clear lustre-MDT0000 cl2 4 && "
                     "lctl get_param -n mdd.lustre-MDT0000.changelog_users")
                  .out,
              "current index: 5\nID    index (idle seconds)\ncl1   0 (60)\ncl2   4 (0)\n");
}

}  // namespace
