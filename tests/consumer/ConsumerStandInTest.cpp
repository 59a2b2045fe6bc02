// "lfs changelog_clear" of the stand-in as each Lustre version answers it
// (data/changelog_clear.txt). The consumer loop through the library runs in
// tests/changelog/StandInChainTest.
#include <cstdlib>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestSupport.h"

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
                err += text + "\n";
            }
            SCOPED_TRACE("2." + std::to_string(minor) + ": " + line);
            ++cases;
            StandIn sim("2." + std::to_string(minor));
            const testsupport::Outcome o =
                sim.Sh("lfs changelog_clear lustre-MDT0000 " + line.substr(a + 3, b - a - 3), false);
            EXPECT_EQ(o.status, std::atoi(line.c_str() + b + 3));
            EXPECT_EQ(o.err, err);
            EXPECT_EQ(sim.Sh("lctl get_param -n mdd.lustre-MDT0000.changelog_users | awk '/^cl/ {printf \"%s \", $2}'; "
                             "lfs changelog lustre-MDT0000 | head -1 | cut -d' ' -f1")
                          .out,
                      line.substr(d + 3) + "\n");
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
