// lfs changelog: the record lines of each version, the range rules and the
// errors.
#include <gtest/gtest.h>

#include "ToolHarness.h"

namespace {

using simtest::Outcome;
using simtest::SimState;

const std::string kAppend = "lustre-sim changelog-append lustre-MDT0000 ";

// The records of the Lustre manual and of the lustre-discuss post, and a
// rename built from the format.
void AppendSamples(const SimState& sim)
{
    const std::string manual = " --uid 500 --gid 500 --nid 10.128.11.159@tcp";
    const std::string steps[] = {
        "MKDIR --time 1515510921.977666834 --fid '[0x200000402:0x1:0x0]' --name pics" + manual,
        "CREAT --time 1515510930.5 --fid '[0x200000402:0x2:0x0]' --parent '[0x200000402:0x1:0x0]' --name chloe.jpg" +
            manual,
        "UNLNK --time 1515510941.305116815 --flags 0x1 --fid '[0x200000402:0x2:0x0]' "
        "--parent '[0x200000402:0x1:0x0]' --name chloe.jpg" + manual,
        "CLOSE --time 1515510950 --fid '[0x200000402:0x3:0x0]' --jobid cp.0 --uid 0 --gid 0 --nid 0@lo",
        "MARK --time 1515513399.603643887 --fid '[0x20001:0x0:0x0]' --parent '[0:0x50:0xb]' "
        "--name mdd_obd-lustre-MDT0000-0 --uid 500 --gid 500 --nid '0@<0:0>'",
        "CREAT --time 1724127849.779203918 --fid '[0x2000013a1:0x1:0x0]' --jobid cp.0 --name testfile",
        "CREAT --time 1724128074.551053189 --fid '[0x2000013a1:0x4:0x0]' --jobid cp.0 "
        "--parent '[0x2000013a1:0x3:0x0]' --name 'file with spaces'",
        "RENME --time 1724128074 --fid '[0x2000013a1:0x5:0x0]' --parent '[0x2000013a1:0x3:0x0]' --name new "
        "--sfid '[0x2000013a1:0x4:0x0]' --sparent '[0x2000013a1:0x3:0x0]' --sname 'file with spaces'",
    };
    for (const auto& step : steps) ASSERT_EQ(sim.Sh(kAppend + step).status, 0) << step;
}

TEST(LfsChangelog, RecordLinesOfEachVersion)
{
    const std::string since211 =
        "1 02MKDIR 15:15:21.977666834 2018.01.09 0x0 t=[0x200000402:0x1:0x0] ef=0xf u=500:500 "
        "nid=10.128.11.159@tcp p=[0x200000007:0x1:0x0] pics\n"
        "2 01CREAT 15:15:30.500000000 2018.01.09 0x0 t=[0x200000402:0x2:0x0] ef=0xf u=500:500 "
        "nid=10.128.11.159@tcp p=[0x200000402:0x1:0x0] chloe.jpg\n"
        "3 06UNLNK 15:15:41.305116815 2018.01.09 0x1 t=[0x200000402:0x2:0x0] ef=0xf u=500:500 "
        "nid=10.128.11.159@tcp p=[0x200000402:0x1:0x0] chloe.jpg\n"
        "4 11CLOSE 15:15:50.000000000 2018.01.09 0x0 t=[0x200000402:0x3:0x0] j=cp.0 ef=0xf u=0:0 nid=0@lo\n"
        "5 00MARK  15:56:39.603643887 2018.01.09 0x0 t=[0x20001:0x0:0x0] ef=0xf u=500:500 nid=0@<0:0> "
        "p=[0:0x50:0xb] mdd_obd-lustre-MDT0000-0\n"
        "6 01CREAT 04:24:09.779203918 2024.08.20 0x0 t=[0x2000013a1:0x1:0x0] j=cp.0 ef=0xf u=0:0 nid=0@lo "
        "p=[0x200000007:0x1:0x0] testfile\n"
        "7 01CREAT 04:27:54.551053189 2024.08.20 0x0 t=[0x2000013a1:0x4:0x0] j=cp.0 ef=0xf u=0:0 nid=0@lo "
        "p=[0x2000013a1:0x3:0x0] file with spaces\n"
        "8 08RENME 04:27:54.000000000 2024.08.20 0x0 t=[0x2000013a1:0x5:0x0] ef=0xf u=0:0 nid=0@lo "
        "p=[0x2000013a1:0x3:0x0] new s=[0x2000013a1:0x4:0x0] sp=[0x2000013a1:0x3:0x0] file with spaces\n";
    const std::string upTo210 =
        "1 02MKDIR 15:15:21.977666834 2018.01.09 0x0 t=[0x200000402:0x1:0x0] p=[0x200000007:0x1:0x0] pics\n"
        "2 01CREAT 15:15:30.500000000 2018.01.09 0x0 t=[0x200000402:0x2:0x0] p=[0x200000402:0x1:0x0] chloe.jpg\n"
        "3 06UNLNK 15:15:41.305116815 2018.01.09 0x1 t=[0x200000402:0x2:0x0] p=[0x200000402:0x1:0x0] chloe.jpg\n"
        "4 11CLOSE 15:15:50.000000000 2018.01.09 0x0 t=[0x200000402:0x3:0x0] j=cp.0\n"
        "5 00MARK  15:56:39.603643887 2018.01.09 0x0 t=[0x20001:0x0:0x0] p=[0:0x50:0xb] mdd_obd-lustre-MDT0000-0\n"
        "6 01CREAT 04:24:09.779203918 2024.08.20 0x0 t=[0x2000013a1:0x1:0x0] j=cp.0 p=[0x200000007:0x1:0x0] "
        "testfile\n"
        "7 01CREAT 04:27:54.551053189 2024.08.20 0x0 t=[0x2000013a1:0x4:0x0] j=cp.0 p=[0x2000013a1:0x3:0x0] "
        "file with spaces\n"
        "8 08RENME 04:27:54.000000000 2024.08.20 0x0 t=[0x2000013a1:0x5:0x0] p=[0x2000013a1:0x3:0x0] new "
        "s=[0x2000013a1:0x4:0x0] sp=[0x2000013a1:0x3:0x0] file with spaces\n";
    for (const auto& [version, expected] :
         {std::pair<std::string, std::string>{"2.10", upTo210}, {"2.12", since211}, {"2.15", since211},
          {"2.16", since211}}) {
        SCOPED_TRACE(version);
        SimState sim(version);
        simtest::SetUpCluster(sim);
        AppendSamples(sim);
        Outcome o = sim.Sh("lfs changelog lustre-MDT0000");
        EXPECT_EQ(o.out, expected);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.status, 0);
    }
}

TEST(LfsChangelog, RangesAndErrors)
{
    struct Row {
        std::string version;
        std::string args;
        std::string out;  // on success the first field of each line, else all of stdout
        std::string err;
        int status;
    };
    const std::string help = "Show the metadata changes on an MDT.\n"
                             "usage: changelog [--follow] <mdtname> [startrec [endrec]]\n";
    const Row rows[] = {
        {"2.15", "lustre-MDT0000", "1 2 3 4 5", "", 0},
        {"2.15", "lustre-MDT0000 2", "2 3 4 5", "", 0},
        {"2.15", "lustre-MDT0000 2 4", "2 3 4", "", 0},
        {"2.15", "lustre-MDT0000 2 0", "2 3 4 5", "", 0},  // END 0: no bound
        {"2.15", "lustre-MDT0000 3 3", "3", "", 0},
        {"2.15", "lustre-MDT0000 4 2", "", "", 0},  // inverted
        {"2.15", "lustre-MDT0000 9", "", "", 0},    // beyond the last
        {"2.15", "lustre-MDT0001", "", "", 0},      // no records
        {"2.15", "lustre-MDT0000 '' ''", "1 2 3 4 5", "", 0},
        {"2.15", "lustre-MDT0000 x", "1 2 3 4 5", "", 0},  // strtoll: garbage is 0
        {"2.15", "lustre-MDT0000 3x 4y", "3 4", "", 0},
        {"2.15", "lustre-MDT0000 -- 1 -1", "1 2 3 4 5", "", 0},  // a negative END is no bound
        {"2.15", "lustre-MDT0000 -- -1", "", "lfs changelog: cannot start changelog: Invalid argument\n", 22},
        {"2.17", "lustre-MDT0000 x", help, "lfs changelog: bad startrec\n", 4},
        {"2.17", "lustre-MDT0000 1 -- -1", help, "lfs changelog: bad endrec\n", 4},
        {"2.17", "lustre-MDT0000 2 4", "2 3 4", "", 0},
        {"2.15", "lustre-MDT0009", "", "lfs changelog: cannot start changelog: No such file or directory\n", 2},
        {"2.15", "nosuch", "", "lfs changelog: cannot start changelog: No such file or directory\n", 2},
        {"2.15", "", "", "lfs changelog: mdtname must be specified\n" + help, 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.version + ": lfs changelog " + row.args);
        SimState sim(row.version);
        simtest::SetUpCluster(sim);
        sim.Sim("changelog-append lustre-MDT0000 CREAT --name f --count 5");
        Outcome o = sim.Sh("lfs changelog " + row.args + " > out; status=$?; if [ $status != 0 ]; then cat out; "
                           "else cut -d' ' -f1 out | tr '\\n' ' ' | sed 's/ $//'; fi; exit $status");
        EXPECT_EQ(o.out, row.out);
        EXPECT_EQ(o.err, row.err);
        EXPECT_EQ(o.status, row.status);
    }
}

TEST(LfsChangelog, HelpGoesToStdoutFrom216AndMissingMountFails)
{
    SimState sim("2.16");
    sim.Sim("add-fs lustre");
    Outcome o = sim.Sh("lfs changelog");
    EXPECT_EQ(o.out, "Show the metadata changes on an MDT.\nusage: changelog [--follow] <mdtname> [startrec [endrec]]\n");
    EXPECT_EQ(o.err, "lfs changelog: mdtname must be specified\n");
    EXPECT_EQ(o.status, 4);
    // The changelog device exists only where the file system is mounted.
    o = sim.Sh("lfs changelog lustre-MDT0000");
    EXPECT_EQ(o.err, "lfs changelog: cannot start changelog: No such file or directory\n");
    EXPECT_EQ(o.status, 2);
}

}  // namespace
