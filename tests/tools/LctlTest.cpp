// lctl: changelog user registration, the changelog_users listing and the
// mds_conn_uuid parameter, byte for byte per imitated version.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LctlHelp.h"
#include "ToolHarness.h"

namespace {

using simtest::Outcome;
using simtest::SimState;

const std::string kDev = "lctl --device lustre-MDT0000 ";
const std::string kName = "mdd.lustre-MDT0000.changelog_users";

std::string Help(const std::string& version, const std::string& command)
{
    sim::LustreVersion v;
    EXPECT_TRUE(sim::LustreVersion::Parse(version, v));
    return sim::LctlHelp(v, command) + "\n";
}

struct Row {
    std::string version;
    std::string prep;  // shell commands run first; they must succeed
    std::string command;
    std::string out;
    std::string err;
    int status;
};

void Check(const Row& row)
{
    SimState sim(row.version);
    simtest::SetUpCluster(sim);
    if (!row.prep.empty()) {
        Outcome prep = sim.Sh(row.prep);
        ASSERT_EQ(prep.status, 0) << row.prep << "\n" << prep.err;
    }
    Outcome o = sim.Sh(row.command);
    EXPECT_EQ(o.out, row.out);
    EXPECT_EQ(o.err, row.err);
    EXPECT_EQ(o.status, row.status);
}

TEST(LctlListing, MatchesTheSamplesOfEachVersion)
{
    const std::string defMask =
        "MARK,CREAT,MKDIR,HLINK,SLINK,MKNOD,UNLNK,RMDIR,RENME,RNMTO,CLOSE,LYOUT,TRUNC,SATTR,XATTR,HSM,MTIME,CTIME,"
        "MIGRT,FLRW,RESYNC";
    const std::string sample215 =
        kName + "=\n"
        "current_index: 42\n"
        "ID                            index (idle) mask\n"
        "cl1                              42 (120)\n"
        "cl2-watcher                      42 (5) mask=" + defMask + "\n";
    const std::string prep215 =
        "lustre-sim changelog-append lustre-MDT0000 CREAT --count 42 >/dev/null && " + kDev +
        "changelog_register >/dev/null && lustre-sim set-time 1000115 && " + kDev +
        "changelog_register -u watcher >/dev/null && lustre-sim set-time 1000120";
    const Row rows[] = {
        // lctl 2.7-2.10 keeps a short value on the name's line.
        {"2.10", "lustre-sim changelog-append lustre-MDT0000 MKDIR --count 5 >/dev/null && " + kDev +
                     "changelog_register >/dev/null",
         "lctl get_param " + kName, kName + "=current index: 5\nID    index\ncl1   5\n", "", 0},
        // The exporter's 2.12 sample: a reader that never cleared, one that keeps up.
        {"2.12", kDev + "changelog_register >/dev/null && lustre-sim changelog-append lustre-MDT0000 CREAT "
                        "--count 34 >/dev/null && lustre-sim set-time 2725648 && " + kDev +
                     "changelog_register >/dev/null && lustre-sim set-time 2725676",
         "lctl get_param " + kName,
         kName + "=\ncurrent index: 34\nID    index (idle seconds)\ncl1   0 (1725676)\ncl2   34 (28)\n", "", 0},
        {"2.15", prep215, "lctl get_param " + kName, sample215, "", 0},
        {"2.16", prep215, "lctl get_param " + kName, sample215, "", 0},
        {"2.17", prep215, "lctl get_param -n " + kName, sample215.substr(kName.size() + 2), "", 0},
        // No users: the two header lines only.
        {"2.15", "", "lctl get_param " + kName,
         kName + "=\ncurrent_index: 0\nID                            index (idle) mask\n", "", 0},
        // Multi-digit ids keep the %-3d column.
        {"2.12", "for i in 1 2 3 4 5 6 7 8 9 10; do " + kDev + "changelog_register >/dev/null; done && " + kDev +
                     "changelog_deregister cl1 >/dev/null && for i in 2 3 4 5 6 7 8 9; do " + kDev +
                     "changelog_deregister cl$i >/dev/null; done",
         "lctl get_param -n " + kName, "current index: 0\nID    index (idle seconds)\ncl10  0 (0)\n", "", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.version + ": " + row.command);
        Check(row);
    }
}

TEST(LctlListing, FramingFollowsTheLengthRulesAndTheStrnchrQuirk)
{
    struct Case {
        std::string version;
        int records;
        int users;
        bool ownLine;
    };
    const Case cases[] = {
        // 2.11-2.14 text, no users: 44 bytes below index 100, 46 from it (name is 34).
        {"2.12", 99, 0, false},
        {"2.12", 100, 0, true},
        // 2.10 text: 32 bytes at index 9999; 33 bytes hit the swapped strnchr.
        {"2.10", 9999, 0, false},
        {"2.10", 10000, 0, true},
        // Three users: 53 bytes, 87 with the name: only lctl 2.7+ breaks.
        {"2.6", 5, 3, false},
        {"2.10", 5, 3, true},
        // 2.15+ breaks every multi-line value.
        {"2.15", 0, 0, true},
        {"2.16", 0, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version + " records=" + std::to_string(c.records) + " users=" + std::to_string(c.users));
        SimState sim(c.version);
        simtest::SetUpCluster(sim);
        if (c.records) sim.Sim("changelog-append lustre-MDT0000 CREAT --count " + std::to_string(c.records));
        for (int i = 0; i < c.users; ++i) ASSERT_EQ(sim.Sh(kDev + "changelog_register").status, 0);
        Outcome o = sim.Sh("lctl get_param " + kName);
        ASSERT_EQ(o.status, 0) << o.err;
        const std::string head = kName + (c.ownLine ? "=\n" : "=") + "current";
        EXPECT_EQ(o.out.substr(0, head.size()), head) << o.out;
    }
}

TEST(LctlChangelogUsers, RegisterAndDeregisterTextsPerVersion)
{
    const std::string reg = kDev + "changelog_register";
    const std::string dereg = kDev + "changelog_deregister ";
    const std::string one = reg + " >/dev/null";
    const std::string named = reg + " -u watcher >/dev/null";
    const Row rows[] = {
        {"2.10", "", reg, "lustre-MDT0000: Registered changelog userid 'cl1'\n", "", 0},
        {"2.12", "", reg + " -n", "cl1\n", "", 0},
        {"2.12", "", reg + " -u watcher", "", Help("2.12", "changelog_register"), 4},
        {"2.12", one, dereg + "cl1", "lustre-MDT0000: Deregistered changelog user 'cl1'\n", "", 0},
        {"2.12", one, dereg + "1", "",
         "error: changelog_deregister: expected id of the form cl<num> got '1'\n" +
             Help("2.12", "changelog_deregister"),
         4},
        {"2.6", one, dereg + "1", "",
         "error: changelog_deregister: expecting id of the form 'cl<num>'; got '1'\n" +
             Help("2.6", "changelog_deregister"),
         4},
        {"2.12", one, dereg + "cl7", "", "error: changelog_deregister: No such file or directory\n", 2},
        {"2.12", one, kDev + "changelog_deregister", "", Help("2.12", "changelog_deregister"), 4},
        {"2.15", "", reg, "lustre-MDT0000: Registered changelog userid 'cl1'\n", "", 0},
        {"2.15", one, reg + " -u watcher", "lustre-MDT0000: Registered changelog userid 'cl2-watcher'\n", "", 0},
        {"2.15", one, reg + " -n -u watcher", "cl2-watcher\n", "", 0},
        {"2.16", one, reg + " --user=watcher --nameonly", "cl2-watcher\n", "", 0},
        {"2.15", named, reg + " -u watcher", "", "error: changelog_register: User exists\n", 17},
        {"2.15", "", reg + " -u 9lives", "", "error: changelog_register: Invalid argument\n", 22},
        {"2.15", "", reg + " -u 'a.b'", "", "error: changelog_register: Invalid argument\n", 22},
        {"2.15", "", reg + " -u abcdefghijklmnopq", "", "error: changelog_register: File name too long\n", 36},
        {"2.15", "", reg + " -m BOGUS", "", "error: changelog_register: Invalid argument\n", 22},
        {"2.15", named, dereg + "1", "lustre-MDT0000: Deregistered changelog user #1\n", "", 0},
        {"2.15", named, dereg + "cl1", "lustre-MDT0000: Deregistered changelog user #1\n", "", 0},
        {"2.15", named, dereg + "cl1-watcher", "lustre-MDT0000: Deregistered changelog user #1\n", "", 0},
        {"2.15", named, dereg + "-u watcher", "lustre-MDT0000: Deregistered changelog user #1\n", "", 0},
        {"2.15", named, dereg + "cl1-other", "", "error: changelog_deregister: User not found\n", 2},
        {"2.15", one, dereg + "-u watcher", "", "error: changelog_deregister: User not found\n", 2},
        {"2.15", one, dereg + "cl9", "", "error: changelog_deregister: User not found\n", 2},
        {"2.15", one, dereg + "x", "",
         "error: Invalid argument: expect <ID> or cl<ID>[-name] got 'x'\n" + Help("2.15", "changelog_deregister"), 4},
        {"2.15", one, dereg + "cl0", "",
         "error: Invalid argument: expect <ID> or cl<ID>[-name] got 'cl0'\n" + Help("2.15", "changelog_deregister"),
         4},
        // From 2.16 the help goes to stdout.
        {"2.16", one, dereg + "x", Help("2.16", "changelog_deregister"),
         "error: Invalid argument: expect <ID> or cl<ID>[-name] got 'x'\n", 4},
        // Devices: unknown, numeric, and not on this node.
        {"2.12", "", "lctl --device lustre-MDT0009 changelog_register", "",
         "No device found for name lustre-MDT0009: Invalid argument\n", 1},
        {"2.16", "", "lctl --device lustre-MDT0009 changelog_deregister 1", "",
         "No device found for name lustre-MDT0009: Invalid argument\n", 1},
        {"2.15", "", "lctl --device 0 changelog_register", "", Help("2.15", "changelog_register"), 4},
        {"2.15", "", "LUSTRE_SIM_HOST=mds2 " + reg, "", "No device found for name lustre-MDT0000: Invalid argument\n",
         1},
        {"2.15", "", "LUSTRE_SIM_HOST=mds1 " + reg, "lustre-MDT0000: Registered changelog userid 'cl1'\n", "", 0},
        // The prefix is the device as typed.
        {"2.15", "", "lctl --device lustre2-MDT0000 changelog_register",
         "lustre2-MDT0000: Registered changelog userid 'cl1'\n", "", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.version + ": " + row.prep + " ; " + row.command);
        Check(row);
    }
}

TEST(LctlChangelogUsers, NamesAndMasksInTheListing)
{
    SimState sim("2.15");
    simtest::SetUpCluster(sim);
    // 16 characters are accepted and echoed; the MDT keeps 15.
    Outcome o = sim.Sh(kDev + "changelog_register -u abcdefghijklmnop");
    EXPECT_EQ(o.out, "lustre-MDT0000: Registered changelog userid 'cl1-abcdefghijklmnop'\n");
    ASSERT_EQ(sim.Sh(kDev + "changelog_register -m MARK,creat").status, 0);
    ASSERT_EQ(sim.Sh(kDev + "changelog_register -m +OPEN,-MARK").status, 0);
    o = sim.Sh("lctl get_param -n " + kName);
    EXPECT_EQ(o.out,
              "current_index: 0\n"
              "ID                            index (idle) mask\n"
              "cl1-abcdefghijklmno               0 (0) mask=MARK,CREAT,MKDIR,HLINK,SLINK,MKNOD,UNLNK,RMDIR,RENME,"
              "RNMTO,CLOSE,LYOUT,TRUNC,SATTR,XATTR,HSM,MTIME,CTIME,MIGRT,FLRW,RESYNC\n"
              "cl2                               0 (0) mask=MARK,CREAT\n"
              "cl3                               0 (0) mask=CREAT,MKDIR,HLINK,SLINK,MKNOD,UNLNK,RMDIR,RENME,RNMTO,"
              "OPEN,CLOSE,LYOUT,TRUNC,SATTR,XATTR,HSM,MTIME,CTIME,MIGRT,FLRW,RESYNC\n");
    // The stored name is what deregistration by name matches.
    o = sim.Sh(kDev + "changelog_deregister -u abcdefghijklmno");
    EXPECT_EQ(o.out, "lustre-MDT0000: Deregistered changelog user #1\n");
}

TEST(LctlChangelogUsers, IdsCountPerMdtAndAreNotReusedWhileTheMdtLives)
{
    for (const std::string version : {"2.12", "2.15"}) {
        SCOPED_TRACE(version);
        SimState sim(version);
        simtest::SetUpCluster(sim);
        auto reg = [&](const std::string& mdt) {
            return sim.Sh("lctl --device " + mdt + " changelog_register -n").out;
        };
        EXPECT_EQ(reg("lustre-MDT0000"), "cl1\n");
        EXPECT_EQ(reg("lustre-MDT0000"), "cl2\n");
        EXPECT_EQ(reg("lustre-MDT0001"), "cl1\n");
        EXPECT_EQ(sim.Sh(kDev + "changelog_deregister cl2").status, 0);
        EXPECT_EQ(reg("lustre-MDT0000"), "cl3\n");
        // Deregistering every user does not restart the count either.
        EXPECT_EQ(sim.Sh(kDev + "changelog_deregister cl1 && " + kDev + "changelog_deregister cl3").status, 0);
        EXPECT_EQ(reg("lustre-MDT0000"), "cl4\n");
        // A remount reloads the counter from the highest surviving user.
        EXPECT_EQ(sim.Sh(kDev + "changelog_register && " + kDev + "changelog_deregister cl5").status, 0);
        sim.Sim("remount-mdt lustre-MDT0000");
        EXPECT_EQ(reg("lustre-MDT0000"), "cl5\n");
    }
}

TEST(LctlChangelogUsers, NewUsersStartAtTheCurrentIndexAndDeregistrationPurges)
{
    SimState sim("2.12");
    simtest::SetUpCluster(sim);
    ASSERT_EQ(sim.Sh(kDev + "changelog_register").status, 0);
    sim.Sim("changelog-append lustre-MDT0000 CREAT --count 3");
    ASSERT_EQ(sim.Sh(kDev + "changelog_register").status, 0);
    EXPECT_EQ(sim.Sh("lctl get_param -n " + kName).out,
              "current index: 3\nID    index (idle seconds)\ncl1   0 (0)\ncl2   3 (0)\n");
    EXPECT_EQ(sim.Sh("lfs changelog lustre-MDT0000 | wc -l").out, "3\n");

    // cl2 has read everything: with cl1 gone the records go too.
    ASSERT_EQ(sim.Sh(kDev + "changelog_deregister cl1").status, 0);
    EXPECT_EQ(sim.Sh("lfs changelog lustre-MDT0000").out, "");
    sim.Sim("changelog-append lustre-MDT0000 CLOSE");
    EXPECT_EQ(sim.Sh("lfs changelog lustre-MDT0000 | cut -d' ' -f1,2").out, "4 11CLOSE\n");

    // The last user takes every record with it; the index stays.
    ASSERT_EQ(sim.Sh(kDev + "changelog_deregister cl2").status, 0);
    EXPECT_EQ(sim.Sh("lfs changelog lustre-MDT0000").out, "");
    EXPECT_EQ(sim.Sh("lctl get_param -n " + kName).out, "current index: 4\nID    index (idle seconds)\n");
}

TEST(LctlGetParam, MdcPatternsMountsAndFraming)
{
    SimState sim("2.12");
    simtest::SetUpCluster(sim);
    sim.Sim("mount lustre /mnt/again");  // a second mount of lustre
    const std::string l0a = "mdc.lustre-MDT0000-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.1@tcp\n";
    const std::string l1a = "mdc.lustre-MDT0001-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.2@tcp\n";
    const std::string l0b = "mdc.lustre-MDT0000-mdc-ffff8803f0d42000.mds_conn_uuid=192.168.0.1@tcp\n";
    const std::string l1b = "mdc.lustre-MDT0001-mdc-ffff8803f0d42000.mds_conn_uuid=192.168.0.2@tcp\n";
    const std::string l2 = "mdc.lustre2-MDT0000-mdc-ffff8803f0d41800.mds_conn_uuid=<none>\n";
    const Row rows[] = {
        {"", "", "lctl get_param 'mdc.lustre*.mds_conn_uuid'", l0a + l0b + l1a + l1b + l2, "", 0},
        {"", "", "lctl get_param 'mdc.lustre-*.mds_conn_uuid'", l0a + l0b + l1a + l1b, "", 0},
        {"", "", "lctl get_param 'mdc.lustre2*.mds_conn_uuid'", l2, "", 0},
        {"", "", "lctl get_param -n 'mdc.lustre-MDT0001*.mds_conn_uuid'", "192.168.0.2@tcp\n192.168.0.2@tcp\n", "", 0},
        {"", "", "lctl get_param 'mdc.nosuch*.mds_conn_uuid'", "",
         "error: get_param: param_path 'mdc/nosuch*/mds_conn_uuid': No such file or directory\n", 2},
        // One pattern fails, the other still prints; the status is the error.
        {"", "", "lctl get_param 'mdc.lustre2*.mds_conn_uuid' 'mdc.x*.mds_conn_uuid'", l2,
         "error: get_param: param_path 'mdc/x*/mds_conn_uuid': No such file or directory\n", 2},
        {"", "", "LUSTRE_SIM_HOST=mds2 lctl get_param " + kName, "",
         "error: get_param: param_path 'mdd/lustre-MDT0000/changelog_users': No such file or directory\n", 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        Outcome o = sim.Sh(row.command);
        EXPECT_EQ(o.out, row.out);
        EXPECT_EQ(o.err, row.err);
        EXPECT_EQ(o.status, row.status);
    }
}

TEST(LctlGetParam, LongMdcLinesBreakOnlyInLctl27To215)
{
    // name: 55 bytes; the values: 24 and 25 bytes with the line break.
    const std::string name = "mdc.scratch8-MDT0000-mdc-ffff8803f0d41000.mds_conn_uuid";
    struct Case {
        std::string version;
        std::string nid;
        bool ownLine;
    };
    const Case cases[] = {
        {"2.12", "192.168.100.101@o2ib123", false}, {"2.12", "192.168.100.101@o2ib1234", true},
        {"2.15", "192.168.100.101@o2ib123", false}, {"2.15", "192.168.100.101@o2ib1234", true},
        {"2.16", "192.168.100.101@o2ib1234", false}, {"2.6", "192.168.100.101@o2ib1234", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version + " " + c.nid);
        SimState sim(c.version);
        sim.Sim("add-fs scratch8");
        sim.Sim("mount scratch8 /mnt/scratch8");
        sim.Sim("add-mds scratch8 0 mds1 " + c.nid);
        Outcome o = sim.Sh("lctl get_param 'mdc.scratch8*.mds_conn_uuid'");
        EXPECT_EQ(o.out, name + (c.ownLine ? "=\n" : "=") + c.nid + "\n");
        EXPECT_EQ(o.status, 0);
    }
}

}  // namespace

namespace {

TEST(LctlChangelogUsers, ConcurrentCallsGetDistinctIdsAndIndexes)
{
    SimState sim("2.15");
    simtest::SetUpCluster(sim);
    Outcome o = sim.Sh(
        "for i in 1 2 3 4 5 6 7 8 9 10 11 12; do "
        "lctl --device lustre-MDT0000 changelog_register -n >> ids & "
        "lustre-sim changelog-append lustre-MDT0000 CREAT >> indexes & "
        "done; wait; "
        "sort -V ids | tr '\\n' ' '; sort -n indexes | tr '\\n' ' '");
    EXPECT_EQ(o.out, "cl1 cl2 cl3 cl4 cl5 cl6 cl7 cl8 cl9 cl10 cl11 cl12 1 2 3 4 5 6 7 8 9 10 11 12 ");
    EXPECT_EQ(o.status, 0) << o.err;
}

}  // namespace
