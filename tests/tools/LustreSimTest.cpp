// lustre-sim: the config it writes and the mistakes it refuses.
#include <gtest/gtest.h>

#include "ToolHarness.h"

namespace {

using simtest::Outcome;
using simtest::SimState;

TEST(LustreSim, WritesTheSharedConfig)
{
    SimState sim("2.12");
    simtest::SetUpCluster(sim);
    sim.Sim("mount lustre /mnt/other/ --instance 00000000deadbeef");
    sim.Sim("add-archive lustre 1 /srv/archive1");
    sim.Sim("version 2.16.0");
    EXPECT_EQ(simtest::ReadFile(sim.Dir() + "/state/config"),
              "version 2.16.0\n"
              "fs lustre mdts=2\n"
              "fs lustre2 mdts=1\n"
              "mount lustre /mnt/lustre ffff8803f0d41000\n"
              "mount lustre2 /mnt/lustre2 ffff8803f0d41800\n"
              "mount lustre /mnt/other 00000000deadbeef\n"
              "archive lustre 1 /srv/archive1\n"
              "mds lustre 0 mds1 192.168.0.1@tcp\n"
              "mds lustre 1 mds2 192.168.0.2@tcp\n"
              "login root mds1\n"
              "login root mds2\n");
}

TEST(LustreSim, RefusesBadInput)
{
    SimState sim("2.15");
    simtest::SetUpCluster(sim);
    struct Row {
        std::string args;
        std::string err;
    };
    const Row rows[] = {
        {"init \"$LUSTRE_SIM_STATE\"", "lustre-sim: " + sim.Dir() + "/state already holds a config\n"},
        {"version 3.0", "lustre-sim: unsupported version '3.0'\n"},
        {"version 2.x", "lustre-sim: unsupported version '2.x'\n"},
        {"add-fs lustre", "lustre-sim: file system lustre exists\n"},
        {"add-fs toolongname", "lustre-sim: bad file system name 'toolongname' (1 to 8 of A-Z a-z 0-9 _ -)\n"},
        {"add-fs x --mdts 0", "lustre-sim: bad MDT count '0'\n"},
        {"mount nosuch /mnt/x", "lustre-sim: no file system nosuch\n"},
        {"mount lustre relative", "lustre-sim: mount directory must be absolute: relative\n"},
        {"mount lustre /mnt/x --instance ffff8803f0d41000", "lustre-sim: instance ffff8803f0d41000 is in use\n"},
        {"mount lustre /mnt/x --instance FFFF8803F0D41000",
         "lustre-sim: instance must be 16 lower-case hex digits: FFFF8803F0D41000\n"},
        {"add-mds lustre 2 mds3 1@tcp", "lustre-sim: bad MDT index '2'\n"},
        {"add-mds lustre 0 mds3 1@tcp", "lustre-sim: MDT 0 of lustre has a server\n"},
        {"changelog-append lustre-MDT0002 CREAT", "lustre-sim: no MDT lustre-MDT0002\n"},
        {"changelog-append lustre-MDT0000 BOGUS", "lustre-sim: unknown record type 'BOGUS'\n"},
        {"changelog-append lustre-MDT0000 CREAT --fid 0x1:0x2", "lustre-sim: bad FID '0x1:0x2'\n"},
        {"changelog-append lustre-MDT0000 CREAT --fid 0x1:0x100000000:0", "lustre-sim: bad FID '0x1:0x100000000:0'\n"},
        {"changelog-append lustre-MDT0000 CREAT --time 1.1234567890",
         "lustre-sim: bad time '1.1234567890' (SECONDS[.NANOSECONDS])\n"},
        {"changelog-append lustre-MDT0000 CREAT --name \"$(printf 'a\\nb')\"",
         "lustre-sim: a name cannot hold a line break\n"},
        {"changelog-append lustre-MDT0000 RENME --sname x", "lustre-sim: a rename needs --sfid, --sparent and --sname\n"},
        {"changelog-clear lustre-MDT0000 cl1 0", "lustre-sim: no changelog user cl1 on lustre-MDT0000\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        Outcome o = sim.Sh("lustre-sim " + row.args);
        EXPECT_EQ(o.err, row.err);
        EXPECT_NE(o.status, 0);
    }
    // Nothing was appended by the refused calls.
    EXPECT_EQ(sim.Sh("lustre-sim changelog-append lustre-MDT0000 CREAT").out, "1\n");
}

TEST(LustreSim, ClearingMovesTheUserAndPurges)
{
    SimState sim("2.12");
    simtest::SetUpCluster(sim);
    const std::string dev = "lctl --device lustre-MDT0000 ";
    ASSERT_EQ(sim.Sh(dev + "changelog_register && " + dev + "changelog_register").status, 0);
    EXPECT_EQ(sim.Sim("changelog-append lustre-MDT0000 CREAT --count 4"), "4\n");
    sim.Sim("set-time " + std::to_string(simtest::kStartTime + 60));
    sim.Sim("changelog-clear lustre-MDT0000 cl1 3");
    sim.Sim("changelog-clear lustre-MDT0000 2 2");
    EXPECT_EQ(sim.Sh("lctl get_param -n mdd.lustre-MDT0000.changelog_users").out,
              "current index: 4\nID    index (idle seconds)\ncl1   3 (0)\ncl2   2 (0)\n");
    EXPECT_EQ(sim.Sh("lfs changelog lustre-MDT0000 | cut -d' ' -f1 | tr '\\n' ' '").out, "3 4 ");
    EXPECT_EQ(sim.Sim("changelog-print lustre-MDT0000"), sim.Sh("lfs changelog lustre-MDT0000").out);
    EXPECT_NE(sim.Sh("lustre-sim changelog-clear lustre-MDT0000 cl1 5").status, 0);
}

}  // namespace
